// Blowfish against the published ECB test set (Eric Young's 34 key/plaintext/ciphertext
// rows), the batch block routine against single blocks, and decryption as the inverse.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "dm/Blowfish.h"

namespace kvx::dm {
namespace {

std::vector<uint8_t> hex(const std::string& s) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < s.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
    return out;
}

uint32_t be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

struct Vector {
    const char* key;
    const char* plain;
    const char* cipher;
};

constexpr Vector kEcb[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
    {"07A1133E4A0B2686", "0248D43806F67172", "1730E5778BEA1DA4"},
    {"3849674C2602319E", "51454B582DDF440A", "A25E7856CF2651EB"},
    {"04B915BA43FEB5B6", "42FD443059577FA2", "353882B109CE8F1A"},
    {"0113B970FD34F2CE", "059B5E0851CF143A", "48F4D0884C379918"},
    {"0170F175468FB5E6", "0756D8E0774761D2", "432193B78951FC98"},
    {"43297FAD38E373FE", "762514B829BF486A", "13F04154D69D1AE5"},
    {"07A7137045DA2A16", "3BDD119049372802", "2EEDDA93FFD39C79"},
    {"04689104C2FD3B2F", "26955F6835AF609A", "D887E0393C2DA6E3"},
    {"37D06BB516CB7546", "164D5E404F275232", "5F99D04F5B163969"},
    {"1F08260D1AC2465E", "6B056E18759F5CCA", "4A057A3B24D3977B"},
    {"584023641ABA6176", "004BD6EF09176062", "452031C1E4FADA8E"},
    {"025816164629B007", "480D39006EE762F2", "7555AE39F59B87BD"},
    {"49793EBC79B3258F", "437540C8698F3CFA", "53C55F9CB49FC019"},
    {"4FB05E1515AB73A7", "072D43A077075292", "7A8E7BFA937E89A3"},
    {"49E95D6D4CA229BF", "02FE55778117F12A", "CF9C5D7A4986ADB5"},
    {"018310DC409B26D6", "1D9D5C5018F728C2", "D1ABB290658BC778"},
    {"1C587F1C13924FEF", "305532286D6F295A", "55CB3774D13EF201"},
    {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
    {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
    {"E0FEE0FEF1FEF1FE", "0123456789ABCDEF", "C39E072D9FAC631D"},
    {"0000000000000000", "FFFFFFFFFFFFFFFF", "014933E0CDAFF6E4"},
    {"FFFFFFFFFFFFFFFF", "0000000000000000", "F21E9A77B71C49BC"},
    {"0123456789ABCDEF", "0000000000000000", "245946885754369A"},
    {"FEDCBA9876543210", "FFFFFFFFFFFFFFFF", "6B5C5A9C5D9E0A5A"},
};
static_assert(std::size(kEcb) == 34);

TEST(Blowfish, PublishedEcbVectors) {
    for (const auto& v : kEcb) {
        const auto key = hex(v.key), plain = hex(v.plain), cipher = hex(v.cipher);
        const Blowfish bf(key);
        uint32_t l = be32(plain.data()), r = be32(plain.data() + 4);
        bf.encrypt(l, r);
        EXPECT_EQ(l, be32(cipher.data())) << v.key << " " << v.plain;
        EXPECT_EQ(r, be32(cipher.data() + 4)) << v.key << " " << v.plain;
        bf.decrypt(l, r);
        EXPECT_EQ(l, be32(plain.data()));
        EXPECT_EQ(r, be32(plain.data() + 4));
        // The byte interface keeps the vectors' byte order.
        auto block = plain;
        bf.encryptBlocks(block.data(), 1);
        EXPECT_EQ(block, cipher) << v.key;
        bf.decryptBlocks(block.data(), 1);
        EXPECT_EQ(block, plain) << v.key;
    }
}

// The batch routine enciphers several blocks side by side: every count, including the tails
// that do not fill a batch, must equal block-by-block encipherment.
TEST(Blowfish, BlocksEqualSingleBlockEncryptionForEveryCount) {
    std::mt19937 rng(3);
    for (const Blowfish& bf : {logCipher(), Blowfish(hex("0123456789ABCDEF"))}) {
        for (size_t blocks = 1; blocks <= 9; ++blocks) {
            std::vector<uint8_t> data(blocks * 8);
            for (auto& b : data) b = static_cast<uint8_t>(rng());
            auto batch = data;
            bf.encryptBlocks(batch.data(), blocks);
            for (size_t i = 0; i < blocks; ++i) {
                uint32_t l = be32(&data[i * 8]), r = be32(&data[i * 8 + 4]);
                bf.encrypt(l, r);
                ASSERT_EQ(be32(&batch[i * 8]), l) << blocks << " block " << i;
                ASSERT_EQ(be32(&batch[i * 8 + 4]), r) << blocks << " block " << i;
            }
            bf.decryptBlocks(batch.data(), blocks);
            EXPECT_EQ(batch, data) << blocks;
        }
    }
}

TEST(Blowfish, LogKeyIsTheFixedThirtySixCharacters) {
    const std::string key = "7pz!K%r2=Hw*qXe9..uT&m4[}Lc3bnj-vs^Y";
    ASSERT_EQ(kLogKey.size(), key.size());
    EXPECT_TRUE(std::equal(kLogKey.begin(), kLogKey.end(), key.begin()));
    const Blowfish fresh(std::span(reinterpret_cast<const uint8_t*>(key.data()), key.size()));
    uint32_t a = 0x01234567, b = 0x89ABCDEF, c = a, d = b;
    fresh.encrypt(a, b);
    logCipher().encrypt(c, d);
    EXPECT_EQ(a, c);
    EXPECT_EQ(b, d);
    EXPECT_FALSE(a == 0x01234567 && b == 0x89ABCDEF);
}

}  // namespace
}  // namespace kvx::dm
