// SHA-256 against the digests sha256sum gives: the standard's examples, and messages whose
// length puts the padding at each edge of a block.

#include "image/Sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
struct CDigestCase
{
    const char* m_pszName;
    std::string m_strMessage;
    const char* m_pszDigest;
};

const CDigestCase DIGEST_CASES[] = {
    {"Empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"Abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"TwoBlocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"OneByte", "a", "ca978112ca1bbdcafac231b39a23dc4da786eff8147c4e72b9807785afee48bb"},
    // 55 bytes: the length still fits the block; 56: it takes a block of its own.
    {"LengthFitsTheBlock", std::string(55, 'a'),
     "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
    {"LengthNeedsAnotherBlock", std::string(56, 'a'),
     "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
    {"OneShortOfABlock", std::string(63, 'a'),
     "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
    {"ExactlyABlock", std::string(64, 'a'),
     "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
    {"OneOverABlock", std::string(65, 'a'),
     "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
    {"SecondBlockLengthFits", std::string(119, 'a'),
     "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
    {"SecondBlockLengthNeedsAnother", std::string(120, 'a'),
     "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c"},
    {"AMillionA", std::string(1000000, 'a'),
     "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

class DigestTable : public ::testing::TestWithParam<CDigestCase>
{
};

// Whole, and in two pieces split at every place of its first 130 bytes: the pieces meet the
// block buffer at every offset.
TEST_P(DigestTable, AsSha256sumWhateverThePieces)
{
    const CDigestCase& row = GetParam();
    EXPECT_EQ(Sha256Hex(row.m_strMessage.data(), row.m_strMessage.size()), row.m_pszDigest);
    const std::string strWhole = Sha256Hex(row.m_strMessage.data(), row.m_strMessage.size());
    for (size_t nSplit = 0; nSplit <= std::min<size_t>(row.m_strMessage.size(), 130); ++nSplit)
    {
        CSha256 hash;
        hash.Update(row.m_strMessage.data(), nSplit);
        hash.Update(row.m_strMessage.data() + nSplit, row.m_strMessage.size() - nSplit);
        std::string strHex;
        for (const uint8_t nByte : hash.Final())
        {
            static const char DIGITS[] = "0123456789abcdef";
            strHex += DIGITS[nByte >> 4];
            strHex += DIGITS[nByte & 0x0F];
        }
        ASSERT_EQ(strHex, strWhole) << "split at " << nSplit;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, DigestTable, ::testing::ValuesIn(DIGEST_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });
} // namespace
