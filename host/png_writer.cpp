#include "png_writer.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#define STBI_WRITE_NO_STDIO  // files are opened here, so that failures carry errno
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include <stb/stb_image_write.h>
#pragma GCC diagnostic pop

namespace tcap_host {

namespace {

struct Sink {
    FILE* pFile;
    int nErrno;  // the first write's failure, 0 while all went well
};

void WriteToSink(void* pContext, void* pData, int nBytes) {
    Sink* pSink = static_cast<Sink*>(pContext);
    if (nBytes > 0 && fwrite(pData, 1, static_cast<size_t>(nBytes), pSink->pFile) != static_cast<size_t>(nBytes)) {
        if (pSink->nErrno == 0) pSink->nErrno = errno ? errno : EIO;
    }
}

}  // namespace

bool WriteBgrPng(const std::string& path, const uint8_t* pBgr, int32_t nWidth, int32_t nHeight,
                 std::vector<uint8_t>* pScratch, std::string* pError) {
    const size_t nBytes = static_cast<size_t>(nWidth) * static_cast<size_t>(nHeight) * 3;
    pScratch->resize(nBytes);
    uint8_t* pRgb = pScratch->data();
    for (size_t i = 0; i < nBytes; i += 3) {
        pRgb[i] = pBgr[i + 2];
        pRgb[i + 1] = pBgr[i + 1];
        pRgb[i + 2] = pBgr[i];
    }

    FILE* pFile = fopen(path.c_str(), "wb");
    if (!pFile) {
        *pError = path + ": " + strerror(errno);
        return false;
    }
    Sink sink = {pFile, 0};
    const int bEncoded = stbi_write_png_to_func(WriteToSink, &sink, nWidth, nHeight, 3, pRgb, nWidth * 3);
    const bool bClosed = fclose(pFile) == 0;
    if (!bClosed && sink.nErrno == 0) sink.nErrno = errno;
    if (!bEncoded || sink.nErrno != 0) remove(path.c_str());  // leave no truncated picture behind
    if (!bEncoded) {
        *pError = path + ": the frame could not be encoded as PNG (out of memory?)";
        return false;
    }
    if (sink.nErrno != 0) {
        *pError = path + ": " + strerror(sink.nErrno);
        return false;
    }
    return true;
}

}  // namespace tcap_host
