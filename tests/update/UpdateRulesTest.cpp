// The updater's decisions without a network or a display: version order, the
// item offered, the once-a-day rule, release notes as plain text, base64 and
// the Ed25519 check of real files.
#include "protocol/CryptoPrimitives.h"
#include "testing/test-env/TempDir.h"
#include "update/UpdateRules.h"
#include "update/UpdateSignature.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace sorvane;
using namespace sorvane::update;

namespace {

AppcastItem itemWith(std::string version) {
    AppcastItem item;
    item.version = std::move(version);
    return item;
}

std::string base64(ByteView bytes) {
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const uint32_t g = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        out += {alphabet[g >> 18], alphabet[(g >> 12) & 63], alphabet[(g >> 6) & 63], alphabet[g & 63]};
    }
    if (bytes.size() - i == 1) {
        const uint32_t g = bytes[i] << 16;
        out += {alphabet[g >> 18], alphabet[(g >> 12) & 63], '=', '='};
    } else if (bytes.size() - i == 2) {
        const uint32_t g = (bytes[i] << 16) | (bytes[i + 1] << 8);
        out += {alphabet[g >> 18], alphabet[(g >> 12) & 63], alphabet[(g >> 6) & 63], '='};
    }
    return out;
}

void writeFile(const std::filesystem::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

} // namespace

TEST(VersionOrder, ComparesNumbersAsNumbersAndTextAsText) {
    EXPECT_GT(compareVersions("1.10", "1.9"), 0);
    EXPECT_LT(compareVersions("1.9", "1.10"), 0);
    EXPECT_EQ(compareVersions("1.2", "1.2.0"), 0);
    EXPECT_EQ(compareVersions("01.002", "1.2"), 0);
    EXPECT_GT(compareVersions("1.2.1", "1.2"), 0);
    EXPECT_GT(compareVersions("1.2", "1.2rc1"), 0);
    EXPECT_GT(compareVersions("1.2rc2", "1.2rc1"), 0);
    EXPECT_GT(compareVersions("1.2.1", "1.2.beta"), 0);
    EXPECT_GT(compareVersions("1.2.beta", "1.2.alpha"), 0);
    EXPECT_EQ(compareVersions("1.2-BETA", "1.2.beta"), 0);
    EXPECT_GT(compareVersions("120", "99"), 0); // build numbers
    EXPECT_GT(compareVersions("100000000000000000000001", "100000000000000000000000"), 0);
    EXPECT_EQ(compareVersions("", ""), 0);
}

TEST(ChooseUpdate, OffersTheNewestNewerItemThatIsNotSkipped) {
    const std::vector<AppcastItem> items = {itemWith("0.9"), itemWith("1.1"), itemWith("1.3"), itemWith(""),
                                            itemWith("1.2")};
    auto chosen = chooseUpdate(items, "1.0", "");
    ASSERT_TRUE(chosen);
    EXPECT_EQ(chosen->version, "1.3");

    chosen = chooseUpdate(items, "1.0", "1.3");
    ASSERT_TRUE(chosen);
    EXPECT_EQ(chosen->version, "1.2");

    EXPECT_FALSE(chooseUpdate(items, "1.3", ""));   // equal
    EXPECT_FALSE(chooseUpdate(items, "2.0", ""));   // all older
    EXPECT_FALSE(chooseUpdate({itemWith("")}, "0.1", ""));
    EXPECT_FALSE(chooseUpdate({}, "0.1", ""));
}

TEST(AutomaticCheckRule, AtMostOnceADay) {
    const int64_t day = kSecondsBetweenAutomaticChecks;
    EXPECT_TRUE(isAutomaticCheckDue(std::nullopt, 1000));
    EXPECT_FALSE(isAutomaticCheckDue(1000, 1000));
    EXPECT_FALSE(isAutomaticCheckDue(1000, 1000 + day - 1));
    EXPECT_TRUE(isAutomaticCheckDue(1000, 1000 + day));
    EXPECT_TRUE(isAutomaticCheckDue(1000 + 5 * day, 1000)); // the clock went back
}

TEST(ReleaseNotes, HtmlBecomesPlainText) {
    EXPECT_EQ(plainTextReleaseNotes("<h2>What&#39;s new</h2><ul><li>Faster &amp; <b>safer</b></li>"
                                    "<li>Fix &lt;tag&gt; &#x263A;</li></ul><p>Thanks!</p>"),
              "What's new\n\n\u2022 Faster & safer\n\u2022 Fix <tag> \u263A\n\nThanks!");
    EXPECT_EQ(plainTextReleaseNotes("<script>alert('x')</script><style>p{}</style>Only this<!-- not this -->"),
              "Only this");
    EXPECT_EQ(plainTextReleaseNotes("line one<br>line two<br/>"), "line one\nline two");
    EXPECT_EQ(plainTextReleaseNotes("Plain & simple"), "Plain & simple");
    EXPECT_EQ(plainTextReleaseNotes("<a href=\"https://x\" onclick=\"evil()\">link</a> text <img src=x"),
              "link text");
    EXPECT_EQ(plainTextReleaseNotes(""), "");
}

TEST(Base64, DecodesStrictly) {
    EXPECT_EQ(decodeBase64("aGVsbG8="), Bytes({'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(decodeBase64("aGVs\nbG8h"), Bytes({'h', 'e', 'l', 'l', 'o', '!'}));
    EXPECT_EQ(decodeBase64("aA=="), Bytes({'h'}));
    EXPECT_FALSE(decodeBase64(""));
    EXPECT_FALSE(decodeBase64("aGVsbG8"));   // wrong length
    EXPECT_FALSE(decodeBase64("aGV*bG8="));  // not base64
    EXPECT_FALSE(decodeBase64("aB=="));      // bits left over
    EXPECT_FALSE(decodeBase64("aGVsbG9="));  // bits left over, one pad
    EXPECT_FALSE(decodeBase64("a===")); 
    EXPECT_FALSE(decodeBase64("aA==aGVs"));  // padding in the middle
}

TEST(UpdateSignature, VerifiesTheWholeFileUnderTheKey) {
    sorvane::testing::TempDir dir;
    const auto key = crypto::Ed25519PrivateKey::generate();
    const auto other = crypto::Ed25519PrivateKey::generate();
    const std::string content = "#!/bin/sh\necho new version\n";
    const auto file = dir.path() / "Sorvane.AppImage";
    writeFile(file, content);
    const std::string publicKey = base64(key.publicKey().raw());
    const std::string good = base64(key.sign(asBytes(content)));

    EXPECT_EQ(verifyFileSignature(file, good, publicKey), "");
    EXPECT_NE(verifyFileSignature(file, base64(other.sign(asBytes(content))), publicKey), "");
    EXPECT_NE(verifyFileSignature(file, "", publicKey), "");
    EXPECT_NE(verifyFileSignature(file, "not base64!", publicKey), "");
    EXPECT_NE(verifyFileSignature(file, base64(asBytes("short")), publicKey), "");
    EXPECT_NE(verifyFileSignature(file, good, "bad key"), "");
    EXPECT_NE(verifyFileSignature(dir.path() / "missing", good, publicKey), "");

    // One byte more or changed and the signature no longer holds.
    writeFile(file, content + "x");
    EXPECT_EQ(verifyFileSignature(file, good, publicKey), "the update's signature does not match the built-in key");
    writeFile(file, "");
    EXPECT_NE(verifyFileSignature(file, good, publicKey), "");
    EXPECT_EQ(verifyFileSignature(file, base64(key.sign(asBytes(""))), publicKey), "");
}
