// The frame digest must be plain MD5, byte for byte what md5sum and ffmpeg's
// framemd5 print, whatever the frame's length and however it is fed in.
#include "md5.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tcap_host {
namespace {

struct Vector {
    std::string message;
    const char* pszDigest;
};

// RFC 1321, appendix A.5.
TEST(Md5, MatchesTheReferenceSuite) {
    const Vector kSuite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Vector& v : kSuite) EXPECT_EQ(Md5::Of(v.message.data(), v.message.size()), v.pszDigest) << '"' << v.message << '"';
}

// Lengths around the padding's edges: 55 bytes still take the length in the
// same block, 56 need a second one; 64 and 120 fill blocks exactly.
// Digests as md5sum prints them for that many letters 'a'.
TEST(Md5, PadsEveryLengthAroundABlockEdge) {
    const std::pair<size_t, const char*> kCases[] = {
        {55, "ef1772b6dff9a122358552954ad0df65"},  {56, "3b0c8ac703f828b04c6c197006d17218"},
        {57, "652b906d60af96844ebd21b674f35e93"},  {63, "b06521f39153d618550606be297466d5"},
        {64, "014842d480b571495a4a0363793f7367"},  {65, "c743a45e0d2e6a95cb859adae0248435"},
        {119, "8a7bd0732ed6a28ce75f6dabc90e1613"}, {120, "5f61c0ccad4cac44c75ff505e1f1e537"},
        {1000, "cabe45dcc9ae5b66ba86600cca6b8ba8"},
    };
    for (const auto& c : kCases) {
        const std::string message(c.first, 'a');
        EXPECT_EQ(Md5::Of(message.data(), message.size()), c.second) << c.first << " bytes";
    }
}

// A frame handed over in pieces of any size digests like the whole: pieces
// that end inside a block, on its edge and across several blocks.
TEST(Md5, GivesTheSameDigestForAnySplit) {
    std::vector<uint8_t> frame(100000);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i % 251);
    const char* kDigest = "28cb595c158e9b74e34ae9e8da710fff";  // md5sum of the same bytes
    ASSERT_EQ(Md5::Of(frame.data(), frame.size()), kDigest);
    for (size_t piece : {1u, 3u, 63u, 64u, 65u, 1000u, 65536u}) {
        Md5 md5;
        for (size_t at = 0; at < frame.size(); at += piece) {
            md5.Update(frame.data() + at, std::min(piece, frame.size() - at));
        }
        EXPECT_EQ(md5.HexDigest(), kDigest) << "pieces of " << piece;
    }
}

}  // namespace
}  // namespace tcap_host
