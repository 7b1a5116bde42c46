// MD5 message digest (RFC 1321) of frame bytes: the digest `md5sum` prints
// for the same bytes, and ffmpeg's framemd5 for a bgr24 rawvideo frame.
#ifndef TCAP_HOST_MD5_H
#define TCAP_HOST_MD5_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace tcap_host {

class Md5 {
public:
    Md5();

    // Adds bytes to the message; any split of the message gives the same digest.
    void Update(const void* pData, size_t nBytes);

    // Pads the message and answers its digest as 32 lowercase hex digits.
    // Ends the message: reset with a new object before adding more.
    std::string HexDigest();

    // The digest of one buffer.
    static std::string Of(const void* pData, size_t nBytes);

private:
    void Transform(const uint8_t block[64]);

    uint32_t state_[4];
    uint64_t nTotalBytes_ = 0;
    uint8_t pending_[64];
    size_t nPending_ = 0;
};

}  // namespace tcap_host

#endif  // TCAP_HOST_MD5_H
