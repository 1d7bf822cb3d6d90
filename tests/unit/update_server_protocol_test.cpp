// The update server's answers to good and bad queries, the feature token and
// the faults that change an answer's text.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "update-server/catalogue.h"
#include "update-server/faults.h"
#include "update-server/protocol.h"
#include "update-server/testing/bird_fixture.h"
#include "update-server/token.h"

namespace fx = update_server::testing;
using update_server::Answer;
using update_server::Catalogue;
using update_server::Protocol;

namespace {

const std::vector<uint8_t> kFile4711 = fx::UpdateFile("4711", "2.10.3", "", "ThermoLog6", 2000);

const Catalogue& SampleCatalogue() {
    static const Catalogue catalogue = Catalogue::FromParts(
        "40F5849A model=17 fp=1,2,3,4 features=logging,alarms\n"
        "0000ABCD model=17 fp=A,B,C,D builds=4711 features=\n"
        "0000BEEF model=5 fp=5,5,5,5\n",
        {{"4711.bird", kFile4711},
         {"4712.bird", fx::UpdateFile("4712", "2.9.0", "", "ThermoLog6")},
         {"5000.bird", fx::UpdateFile("5000", "1.0.0", "", "HubPro8")}});
    return catalogue;
}

// Decodes standard and URL-alphabet Base64; fails on anything else.
bool Decode(const std::string& text, std::string& out) {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    out.clear();
    uint32_t bits = 0;
    int count = 0;
    size_t end = text.find_last_not_of('=') + 1;
    if (text.empty()) {
        return true;
    }
    for (size_t i = 0; i < end; ++i) {
        char c = text[i] == '-' ? '+' : text[i] == '_' ? '/' : text[i];
        const size_t value = alphabet.find(c);
        if (value == std::string::npos) {
            return false;
        }
        bits = (bits << 6) | static_cast<uint32_t>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return true;
}

std::vector<std::string> Lines(const std::string& body) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < body.size()) {
        const size_t end = body.find('\n', start);
        lines.push_back(body.substr(start, end - start));
        start = end == std::string::npos ? body.size() : end + 1;
    }
    return lines;
}

}  // namespace

TEST(update_server_protocol, AnswersEveryQuery) {
    const Protocol protocol(SampleCatalogue(), "key");
    const std::string fp1234 = "00000001%2000000002%2000000003%2000000004";
    struct Case {
        std::string query;
        std::string body;
    };
    const Case cases[] = {
        {"op=hi&rv=2&", "ok\n"},
        {"op=qu&sn=40F5849A&", "ok\n4711\nThermoLog6\n"},
        {"op=builds&sn=40F5849A&", "ok\n4711;2.10.3\n4712;2.9.0\n"},
        {"op=builds&sn=0000ABCD&", "ok\n4711;2.10.3\n"},
        {"op=builds&sn=0000BEEF&", "ok\n"},
        {"brief=true&fp=" + fp1234 + "&op=fix&", "ok\n40F5849A\n4711\n"},
        {"brief=true&fp=0000000A%200000000B%200000000C%200000000D&op=fix&", "ok\n0000ABCD\n4711\n"},

        // The query's shape, as the client builds it.
        {"", "error no query\n"},
        {"op=hi&rv=2", "error query does not end with &\n"},
        {"op=hi&&rv=2&", "error empty parameter\n"},
        {"op=hi&rv&", "error malformed parameter rv\n"},
        {"=2&op=hi&", "error malformed parameter =2\n"},
        {"rv=2&op=hi&", "error parameters out of order: op after rv\n"},
        {"op=hi&op=hi&rv=2&", "error parameter op given twice\n"},
        {"rv=2&", "error missing parameter op\n"},
        {"op=hello&", "error unknown op hello\n"},
        {"op=qu&", "error missing parameter sn\n"},
        {"op=qu&sn=40F5849A&x=1&", "error unexpected parameter x\n"},
        {"op=hi&rv=3&", "error unsupported rv 3\n"},
        {"op=hi%20&rv=2&", "error unknown op hi%20\n"},

        // Serial numbers and builds.
        {"op=qu&sn=40f5849a&", "error malformed serial 40f5849a\n"},
        {"op=qu&sn=40F5849&", "error malformed serial 40F5849\n"},
        {"op=qu&sn=12345678&", "error unknown serial 12345678\n"},
        {"op=builds&sn=12345678&", "error unknown serial 12345678\n"},
        {"op=qu&sn=0000BEEF&", "error no builds for 0000BEEF\n"},
        {"bld=4712&fw=ThermoLog6&no_cal=false&op=bird&sn=0000ABCD&",
         "error build 4712 is not for 0000ABCD\n"},
        {"bld=5000&fw=ThermoLog6&no_cal=false&op=bird&sn=40F5849A&",
         "error build 5000 is not for 40F5849A\n"},
        {"bld=9999&fw=ThermoLog6&no_cal=false&op=bird&sn=40F5849A&", "error unknown build 9999\n"},
        {"bld=04711&fw=ThermoLog6&no_cal=false&op=bird&sn=40F5849A&",
         "error malformed build 04711\n"},
        {"bld=4294967296&fw=ThermoLog6&no_cal=false&op=bird&sn=40F5849A&",
         "error malformed build 4294967296\n"},
        {"bld=&fw=ThermoLog6&no_cal=false&op=bird&sn=40F5849A&", "error malformed build \n"},
        {"bld=4711&fw=HubPro8&no_cal=false&op=bird&sn=40F5849A&",
         "error unknown firmware HubPro8 for 40F5849A\n"},
        {"bld=4711&fw=ThermoLog6&no_cal=no&op=bird&sn=40F5849A&", "error unsupported no_cal no\n"},
        {"bld=4711&fw=ThermoLog6&op=bird&sn=40F5849A&", "error missing parameter no_cal\n"},

        // Fingerprints: four "%08X" words joined by "%20".
        {"brief=false&fp=" + fp1234 + "&op=fix&", "error unsupported brief false\n"},
        {"brief=true&fp=00000004%2000000003%2000000002%2000000001&op=fix&",
         "error unknown fingerprint 00000004%2000000003%2000000002%2000000001\n"},
        {"brief=true&fp=00000005%2000000005%2000000005%2000000005&op=fix&",
         "error no builds for 0000BEEF\n"},
        {"brief=true&fp=1%202%203%204&op=fix&", "error malformed fingerprint 1%202%203%204\n"},
        {"brief=true&fp=00000001 00000002 00000003 00000004&op=fix&",
         "error malformed fingerprint 00000001 00000002 00000003 00000004\n"},
        {"brief=true&fp=0000000a%200000000b%200000000c%200000000d&op=fix&",
         "error malformed fingerprint 0000000a%200000000b%200000000c%200000000d\n"},
        {"brief=true&fp=00000001%2000000002%2000000003&op=fix&",
         "error malformed fingerprint 00000001%2000000002%2000000003\n"},
        {"brief=true&fp=00000001%2000000002%2000000003%2000000004%20&op=fix&",
         "error malformed fingerprint 00000001%2000000002%2000000003%2000000004%20\n"},
        {"op=fix&", "error missing parameter brief\n"},

        {"json=true&op=ent_jwt&sn=40F5849A&", "error unsupported json true\n"},
        {"json=false&op=ent_jwt&sn=12345678&", "error unknown serial 12345678\n"},
    };
    for (const Case& c : cases) {
        const Answer answer = protocol.Handle(c.query);
        EXPECT_EQ(answer.body, c.body) << c.query;
        EXPECT_EQ(answer.ok, c.body.rfind("ok\n", 0) == 0) << c.query;
        EXPECT_FALSE(answer.birdFile) << c.query;
    }
}

TEST(update_server_protocol, BirdAnswerCarriesTheFileInBase64) {
    const Protocol protocol(SampleCatalogue(), "key");
    for (const char* noCal : {"false", "true"}) {
        const Answer answer = protocol.Handle(std::string("bld=4711&fw=ThermoLog6&no_cal=") +
                                              noCal + "&op=bird&sn=40F5849A&");
        ASSERT_TRUE(answer.ok) << answer.body;
        EXPECT_TRUE(answer.birdFile);
        EXPECT_EQ(answer.op, "bird");
        const std::vector<std::string> lines = Lines(answer.body);
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[1].size() % 4, 0u);
        EXPECT_EQ(lines[1].find_first_not_of(
                      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
                  std::string::npos);
        std::string decoded;
        ASSERT_TRUE(Decode(lines[1], decoded));
        EXPECT_EQ(std::vector<uint8_t>(decoded.begin(), decoded.end()), kFile4711);
    }
}

TEST(update_server_protocol, TokenIsSignedAndListsTheFeatures) {
    const Protocol protocol(SampleCatalogue(), "s3cret", [] { return std::time_t{1700000000}; });
    const struct {
        const char* serial;
        std::vector<std::string> features;
    } cases[] = {{"40F5849A", {"logging", "alarms"}}, {"0000ABCD", {}}};
    for (const auto& c : cases) {
        const Answer answer =
            protocol.Handle(std::string("json=false&op=ent_jwt&sn=") + c.serial + "&");
        ASSERT_TRUE(answer.ok) << answer.body;
        const std::vector<std::string> lines = Lines(answer.body);
        ASSERT_EQ(lines.size(), 2u);
        const std::string& token = lines[1];
        const size_t dot1 = token.find('.');
        const size_t dot2 = token.find('.', dot1 + 1);
        ASSERT_NE(dot2, std::string::npos) << token;
        ASSERT_EQ(token.find('.', dot2 + 1), std::string::npos) << token;
        EXPECT_EQ(token.find_first_of("+/="), std::string::npos) << "not Base64url: " << token;

        std::string header, payload, signature;
        ASSERT_TRUE(Decode(token.substr(0, dot1), header));
        ASSERT_TRUE(Decode(token.substr(dot1 + 1, dot2 - dot1 - 1), payload));
        ASSERT_TRUE(Decode(token.substr(dot2 + 1), signature));
        EXPECT_EQ(nlohmann::json::parse(header),
                  nlohmann::json::parse(R"({"alg":"HS256","typ":"JWT"})"));
        const nlohmann::json claims = nlohmann::json::parse(payload);
        EXPECT_EQ(claims.at("sn"), c.serial);
        EXPECT_EQ(claims.at("model"), 17);
        EXPECT_EQ(claims.at("features"), c.features);
        EXPECT_EQ(claims.at("iat"), 1700000000);
        EXPECT_EQ(signature, update_server::HmacSha256("s3cret", token.substr(0, dot2)));
        EXPECT_NE(signature, update_server::HmacSha256("other", token.substr(0, dot2)));
    }

    const Protocol keyless(SampleCatalogue(), "");
    EXPECT_EQ(keyless.Handle("json=false&op=ent_jwt&sn=40F5849A&").body,
              "error no token key configured\n");
}

TEST(update_server_protocol, Base64AndHmacMatchTheirStandards) {
    // RFC 4648 section 10, and the URL alphabet without padding.
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(
            update_server::Base64(reinterpret_cast<const uint8_t*>(plain.data()), plain.size()),
            encoded);
    }
    EXPECT_EQ(update_server::Base64Url("\xfb\xff\xbf"), "-_-_");
    EXPECT_EQ(update_server::Base64Url("fo"), "Zm8");

    // RFC 4231 test case 2.
    std::string mac = update_server::HmacSha256("Jefe", "what do ya want for nothing?");
    std::string hex;
    for (const unsigned char byte : mac) {
        static const char digits[] = "0123456789abcdef";
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    EXPECT_EQ(hex, "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
}

TEST(update_server_protocol, FaultSwitches) {
    struct Case {
        const char* spec;
        const char* error;  // "" when accepted
    };
    const Case cases[] = {
        {"status=500", ""},
        {"status=302", ""},
        {"status=199", "status="},
        {"status=600", "status="},
        {"status=", "status="},
        {"status=5x", "status="},
        {"slow=0", ""},
        {"slow=3600000", ""},
        {"slow=forever", ""},
        {"slow=-1", "slow="},
        {"slow=3600001", "slow="},
        {"slow", "slow="},
        {"no-ok", ""},
        {"truncate", ""},
        {"redirect", ""},
        {"bad-base64", ""},
        {"no-ok=1", "takes no value"},
        {"crash", "unknown fault crash"},
    };
    for (const Case& c : cases) {
        update_server::Faults faults;
        const std::string error = update_server::AddFault(faults, c.spec);
        if (*c.error == '\0') {
            EXPECT_EQ(error, "") << c.spec;
        } else {
            EXPECT_NE(error.find(c.error), std::string::npos) << c.spec << ": " << error;
        }
    }

    update_server::Faults faults;
    EXPECT_TRUE(faults.AppliesTo("hi"));
    EXPECT_EQ(update_server::AddFaultOp(faults, "bird"), "");
    EXPECT_NE(update_server::AddFaultOp(faults, "download"), "");
    EXPECT_TRUE(faults.AppliesTo("bird"));
    EXPECT_FALSE(faults.AppliesTo("hi"));
    EXPECT_FALSE(faults.AppliesTo(""));

    // The op of an answer is read from the query even when it is malformed,
    // so faults limited to one op hit its error answers too.
    const Protocol protocol(SampleCatalogue(), "key");
    EXPECT_EQ(protocol.Handle("op=bird&sn=x&").op, "bird");
    EXPECT_EQ(protocol.Handle("sn=x&op=qu&").op, "qu");
    EXPECT_EQ(protocol.Handle("bld=1&&op=bird").op, "bird");
    EXPECT_EQ(protocol.Handle("op=&").op, "");
    EXPECT_EQ(protocol.Handle("xop=hi&").op, "");

    // Text faults: a bird answer loses one Base64 character, "ok" becomes
    // "OK"; error answers stay as they are.
    update_server::AddFault(faults, "bad-base64");
    update_server::AddFault(faults, "no-ok");
    Answer bird = protocol.Handle("bld=4711&fw=ThermoLog6&no_cal=false&op=bird&sn=40F5849A&");
    const std::string good = Lines(bird.body)[1];
    update_server::ApplyBodyFaults(faults, bird);
    EXPECT_EQ(bird.body, "OK\n" + good.substr(0, good.size() - 1) + "\n");
    Answer hi = protocol.Handle("op=hi&rv=2&");
    update_server::ApplyBodyFaults(faults, hi);
    EXPECT_EQ(hi.body, "OK\n");
    Answer error = protocol.Handle("op=qu&sn=12345678&");
    update_server::ApplyBodyFaults(faults, error);
    EXPECT_EQ(error.body, "error unknown serial 12345678\n");
}
