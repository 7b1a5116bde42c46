// PNG files of bgr24 frames.
#ifndef TCAP_HOST_PNG_WRITER_H
#define TCAP_HOST_PNG_WRITER_H

#include <stdint.h>

#include <string>
#include <vector>

namespace tcap_host {

// Writes a width x height frame of packed blue, green, red bytes as an 8-bit
// RGB PNG at `path`. `pScratch` holds the reordered pixels between calls.
// On failure answers false with "path: reason" in *pError.
bool WriteBgrPng(const std::string& path, const uint8_t* pBgr, int32_t nWidth, int32_t nHeight,
                 std::vector<uint8_t>* pScratch, std::string* pError);

}  // namespace tcap_host

#endif  // TCAP_HOST_PNG_WRITER_H
