// The updater's decisions without a network or a display: version order, the
// item offered, the once-a-day rule, release notes as plain text, base64 and
// the Ed25519 check of real files.
#include "protocol/CryptoPrimitives.h"
#include "testing/test-env/TempDir.h"
#include "update/UpdateRules.h"
#include "update/UpdateSignature.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <fstream>

using namespace sorvane;
using namespace sorvane::update;

namespace {

AppcastItem itemWith(std::string version) {
    AppcastItem item;
    item.version = std::move(version);
    return item;
}

// Padded base64, as the release tooling writes signatures (OpenSSL's encoder).
std::string base64(ByteView bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    out.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                                   bytes.data(), static_cast<int>(bytes.size()))));
    return out;
}

void writeFile(const std::filesystem::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

} // namespace

// Each pair: the first is newer (1) or the same version (0); swapped, the order turns.
TEST(VersionOrder, ComparesNumbersAsNumbersAndTextAsText) {
    const std::vector<std::tuple<const char*, const char*, int>> cases = {
        {"1.10", "1.9", 1},
        {"1.2", "1.2.0", 0},
        {"01.002", "1.2", 0},
        {"1.2.1", "1.2", 1},
        {"1.2", "1.2rc1", 1},
        {"1.2rc2", "1.2rc1", 1},
        {"1.2.1", "1.2.beta", 1},
        {"1.2.beta", "1.2.alpha", 1},
        {"1.2-BETA", "1.2.beta", 0},
        {"120", "99", 1}, // build numbers
        {"100000000000000000000001", "100000000000000000000000", 1},
        {"", "", 0}};
    auto order = [](int c) { return (c > 0) - (c < 0); };
    for (auto [newer, older, expected] : cases) {
        EXPECT_EQ(order(compareVersions(newer, older)), expected) << newer << " vs " << older;
        EXPECT_EQ(order(compareVersions(older, newer)), -expected) << older << " vs " << newer;
    }
}

TEST(ChooseUpdate, OffersTheNewestNewerItemThatIsNotSkipped) {
    const std::vector<AppcastItem> items = {itemWith("0.9"), itemWith("1.1"), itemWith("1.3"), itemWith(""),
                                            itemWith("1.2")};
    auto offered = [](const std::vector<AppcastItem>& feed, const char* current,
                      const char* skipped) {
        const auto chosen = chooseUpdate(feed, current, skipped);
        return chosen ? chosen->version : "<none>";
    };
    EXPECT_EQ(offered(items, "1.0", ""), "1.3");
    EXPECT_EQ(offered(items, "1.0", "1.3"), "1.2");
    EXPECT_EQ(offered(items, "1.3", ""), "<none>"); // equal
    EXPECT_EQ(offered(items, "2.0", ""), "<none>"); // all older
    EXPECT_EQ(offered({itemWith("")}, "0.1", ""), "<none>");
    EXPECT_EQ(offered({}, "0.1", ""), "<none>");
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
    // Empty, the wrong length, not base64, bits left over (with two pads and with
    // one), too much padding, padding in the middle.
    for (const char* bad : {"", "aGVsbG8", "aGV*bG8=", "aB==", "aGVsbG9=", "a===", "aA==aGVs"})
        EXPECT_FALSE(decodeBase64(bad)) << bad;
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
    for (const std::string& bad : {base64(other.sign(asBytes(content))), std::string(),
                                   std::string("not base64!"), base64(asBytes("short"))})
        EXPECT_NE(verifyFileSignature(file, bad, publicKey), "") << bad;
    EXPECT_NE(verifyFileSignature(file, good, "bad key"), "");
    EXPECT_NE(verifyFileSignature(dir.path() / "missing", good, publicKey), "");

    // One byte more or changed and the signature no longer holds.
    writeFile(file, content + "x");
    EXPECT_EQ(verifyFileSignature(file, good, publicKey), "the update's signature does not match the built-in key");
    writeFile(file, "");
    EXPECT_NE(verifyFileSignature(file, good, publicKey), "");
    EXPECT_EQ(verifyFileSignature(file, base64(key.sign(asBytes(""))), publicKey), "");
}
