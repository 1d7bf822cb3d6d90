// The update-server client against a tiny in-test server: the exact request
// of every query, which answers count as success, how each answer is parsed,
// what a redirect, a silent server or an unreachable one does, and the split
// of versions.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/Log.h"
#include "app/server/HTTPRequest.h"
#include "app/server/UpdateServerRequest.h"
#include "bird_support.h"
#include "server_support.h"

namespace {

using server_test::Ok;
using server_test::Reply;
using server_test::ScopedEnv;
using server_test::TinyServer;
using Builds = std::map<std::string, std::string>;

// A server that gives every request the same answer.
struct Fixed {
    explicit Fixed(Reply reply) : server([reply](const std::string&) { return reply; }) {}
    std::string Url() const { return server.Url(); }
    TinyServer server;
};

TEST(ServerRequest, EveryQueryRequestsItsExactUrl) {
    TinyServer server([](const std::string&) { return Ok("ok\n"); });
    const std::string url = server.Url();
    const char* u = url.c_str();
    std::string a, b;
    Builds builds;
    unsigned serial = 0, build = 0;
    const unsigned fingerprint[4] = {1, 2, 3, 0xFEDCBA98};
    const std::vector<std::pair<std::function<bool()>, std::string>> cases = {
        {[&] { return UpdateServerRequest::ping(u); }, "/cgi/u?op=hi&rv=2&"},
        {[&] { return ping_wrap(u); }, "/cgi/u?op=hi&rv=2&"},
        {[&] { return UpdateServerRequest::QueryBuild(0x0000ABCD, a, b, u); },
         "/cgi/u?op=qu&sn=0000ABCD&"},
        {[&] { return UpdateServerRequest::GetBuild(0x40F5849A, "X", "4711", a, u, false); },
         "/cgi/u?bld=4711&fw=X&no_cal=false&op=bird&sn=40F5849A&"},
        {[&] { return UpdateServerRequest::GetBuild(0xABCDEF01, "ThermoLog6", "1", a, u, true); },
         "/cgi/u?bld=1&fw=ThermoLog6&no_cal=true&op=bird&sn=ABCDEF01&"},
        {[&] { return UpdateServerRequest::GetBuildList(0x40F5849A, builds, u); },
         "/cgi/u?op=builds&sn=40F5849A&"},
        {[&] { return UpdateServerRequest::GetRecoveryInfo(fingerprint, &serial, &build, u); },
         "/cgi/u?brief=true&fp=00000001%2000000002%2000000003%20FEDCBA98&op=fix&"},
        {[&] { return UpdateServerRequest::GetDeviceJWT(0x00000001, a, u); },
         "/cgi/u?json=false&op=ent_jwt&sn=00000001&"},
    };
    for (const auto& c : cases) {
        c.first();
    }
    const std::vector<std::string> targets = server.Targets();
    ASSERT_EQ(targets.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(targets[i], cases[i].second);
    }
}

TEST(ServerRequest, FirmwareAndBuildTextsArePercentEncoded) {
    TinyServer server([](const std::string&) { return Ok("ok\nQUJD\n"); });
    std::string data;
    EXPECT_TRUE(UpdateServerRequest::GetBuild(0x40F5849A, "Thermo Log/6&op=x#~_.-", "47 11", data,
                                              server.Url().c_str(), false));
    ASSERT_EQ(server.Targets().size(), 1u);
    EXPECT_EQ(server.Targets()[0],
              "/cgi/u?bld=47%2011&fw=Thermo%20Log%2F6%26op%3Dx%23~_.-&no_cal=false&op=bird&"
              "sn=40F5849A&");
}

TEST(ServerRequest, BuildUrlWithoutParametersHasNoQuery) {
    EXPECT_EQ(HTTPRequest::BuildURL("http://h/p", {}), "http://h/p");
    EXPECT_EQ(HTTPRequest::BuildURL("h:1/p", {{"z", "1"}, {"a", ""}}), "h:1/p?a=&z=1&");
}

TEST(ServerRequest, OnlyStatus200WithAnOkFirstLineSucceeds) {
    struct Case {
        int status;
        std::string body;
        bool succeeds;
    };
    const std::vector<Case> cases = {
        {200, "ok\n", true},
        {200, "ok", true},
        {200, "ok, more text here\n", true},
        {200, "okay\r\n", true},
        {200, "\n\nok\n", true},  // empty lines vanish wherever lines are split
        {200, "OK\n", false},
        {200, "Ok\n", false},
        {200, " ok\n", false},
        {200, "error unknown op\n", false},
        {200, "", false},
        {404, "ok\n", false},
        {500, "ok\n", false},
        {201, "ok\n", false},
    };
    for (const Case& c : cases) {
        Reply reply;
        reply.status = c.status;
        reply.body = c.body;
        Fixed server(reply);
        EXPECT_EQ(UpdateServerRequest::ping(server.Url().c_str()), c.succeeds)
            << c.status << " [" << c.body << "]";
    }
}

TEST(ServerRequest, RedirectIsAFailureAndIsNotFollowed) {
    TinyServer server([](const std::string& target) {
        if (target.rfind("/moved", 0) == 0) {
            return Ok("ok\n4711;1.0.0\n");
        }
        Reply reply = Ok("ok\n4711;1.0.0\n");
        reply.status = 302;
        reply.headers = "Location: /moved" + target + "\r\n";
        return reply;
    });
    Builds builds{{"stale", "entry"}};
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(0x40F5849A, builds, server.Url().c_str()));
    EXPECT_TRUE(builds.empty()) << "the list is cleared also when the call fails";
    EXPECT_EQ(server.Targets().size(), 1u);
}

TEST(ServerRequest, QueryBuildTakesLinesTwoAndThree) {
    std::string build = "old", firmware = "old";
    {
        Fixed server(Ok("ok\n\n4711\nThermoLog6\r\nignored\n"));
        EXPECT_TRUE(UpdateServerRequest::QueryBuild(1, build, firmware, server.Url().c_str()));
        EXPECT_EQ(build, "4711");
        EXPECT_EQ(firmware, "ThermoLog6");
    }
    {
        Fixed server(Ok("ok\n4712\n"));  // no firmware line: that output is left alone
        EXPECT_TRUE(UpdateServerRequest::QueryBuild(1, build, firmware, server.Url().c_str()));
        EXPECT_EQ(build, "4712");
        EXPECT_EQ(firmware, "ThermoLog6");
    }
    {
        Fixed server(Ok("error unknown serial 00000001\n4713\nX\n"));
        EXPECT_FALSE(UpdateServerRequest::QueryBuild(1, build, firmware, server.Url().c_str()));
        EXPECT_EQ(build, "4712");
    }
}

TEST(ServerRequest, BuildListLines) {
    Fixed server(
        Ok("ok\n"
           "4711;2.10.3\r\n"
           "4711;9.9.9\n"       // the first line of a build wins
           "4712\n"             // no version
           ";\n"                // too short
           "ab\n"               //
           "5000;1.0.0;more\n"  // a third field is ignored
           ";;;6000;2.0.0\n"    // leading separators vanish
           "\n"));
    Builds builds;
    EXPECT_TRUE(UpdateServerRequest::GetBuildList(1, builds, server.Url().c_str()));
    EXPECT_EQ(builds,
              (Builds{{"4711", "2.10.3"}, {"4712", ""}, {"5000", "1.0.0"}, {"6000", "2.0.0"}}));
}

TEST(ServerRequest, GetBuildTakesLineTwo) {
    std::string data = "old";
    {
        Fixed server(Ok("ok\n\nQUJD\nrest\n"));
        EXPECT_TRUE(UpdateServerRequest::GetBuild(1, "X", "1", data, server.Url().c_str(), false));
        EXPECT_EQ(data, "QUJD");
    }
    {
        Fixed server(Ok("ok\n"));
        EXPECT_TRUE(UpdateServerRequest::GetBuild(1, "X", "1", data, server.Url().c_str(), false));
        EXPECT_EQ(data, "");
    }
}

TEST(ServerRequest, RecoveryInfoNumbers) {
    const unsigned fingerprint[4] = {1, 2, 3, 4};
    struct Case {
        std::string body;
        unsigned serial;
        unsigned build;
    };
    const std::vector<Case> cases = {
        {"ok\n40f5849a\n4711\n", 0x40F5849A, 4711},
        {"ok\n0000ABCD\r\n0x1267\r\n", 0x0000ABCD, 0x1267},
        {"ok\nDEADDEAD\n010\n", 0xDEADDEAD, 8},  // octal, as base 0 reads it
        {"ok\n12345678\n", 0x12345678, 99},      // missing build line: unchanged
    };
    for (const Case& c : cases) {
        Fixed server(Ok(c.body));
        unsigned serial = 0, build = 99;
        EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(fingerprint, &serial, &build,
                                                         server.Url().c_str()));
        EXPECT_EQ(serial, c.serial) << c.body;
        EXPECT_EQ(build, c.build) << c.body;
    }
}

TEST(ServerRequest, TokenNeedsThreePartsOfTwoCharacters) {
    struct Case {
        std::string body;
        bool succeeds;
        std::string token;
    };
    const std::vector<Case> cases = {
        {"ok\nhh.pp.ss\n", true, "hh.pp.ss"},
        {"ok\nhh.pp.ss.more\r\n", true, "hh.pp.ss.more"},  // the signature keeps its dots
        {"ok\nhh.pp\n", false, ""},
        {"ok\nhh.pp.\n", false, ""},
        {"ok\nhh.p.ss\n", false, ""},
        {"ok\nh.pp.ss\n", false, ""},
        {"ok\nhh.pp.s\n", false, ""},
        {"ok\nab\n", false, ""},
        {"ok\n", false, ""},
    };
    for (const Case& c : cases) {
        Fixed server(Ok(c.body));
        std::string token = "unchanged";
        EXPECT_EQ(UpdateServerRequest::GetDeviceJWT(1, token, server.Url().c_str()), c.succeeds)
            << c.body;
        EXPECT_EQ(token, c.succeeds ? c.token : "unchanged") << c.body;
    }
}

TEST(ServerRequest, LogsRequestsAndFailures) {
    bird_test::LogCapture log(DEBUG_ServerComm);
    Reply missing;
    missing.status = 404;
    missing.body = "error not found\n";
    Fixed notFound(missing);
    Builds builds;
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(0xAB, builds, notFound.Url().c_str()));
    EXPECT_FALSE(UpdateServerRequest::ping(notFound.Url().c_str()));
    Fixed refused(Ok("OK\n"));
    EXPECT_FALSE(UpdateServerRequest::ping(refused.Url().c_str()));

    const std::string text = log.Text();
    const std::string url = notFound.Url() + "?op=builds&sn=000000AB&";
    EXPECT_NE(text.find("GET(" + url + ")\n"), std::string::npos) << text;
    EXPECT_NE(text.find("GetBuildList ==> [404] [error not found\n]\n"), std::string::npos);
    EXPECT_NE(text.find("PING ==> [404] [error not found\n]\n"), std::string::npos);
    EXPECT_NE(text.find("ServerCommClass: ping failed [" + refused.Url() + "?op=hi&rv=2&]\n"),
              std::string::npos);
    EXPECT_NE(text.find("rcv_data returns 3\n"), std::string::npos);
}

TEST(ServerRequest, UnreachableServerFailsAtOnce) {
    bird_test::LogCapture log(DEBUG_ServerComm);
    EXPECT_FALSE(UpdateServerRequest::ping("http://127.0.0.1:1/cgi/u"));
    EXPECT_TRUE(log.Has("ping ==> [")) << log.Text();
    std::map<std::string, std::string> none;
    EXPECT_THROW(HTTPRequest::GET("127.0.0.1:1/cgi/u", none), std::runtime_error);
    EXPECT_THROW(HTTPRequest::GET("file:///etc/hostname", none), std::runtime_error)
        << "only HTTP and HTTPS are spoken";
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(ServerRequest, SilentServerIsAbandonedAfterTheStallTime) {
    ScopedEnv stall("QX_HTTP_STALL_SECONDS", "1");
    Reply silent;
    silent.hang = true;
    Fixed server(silent);
    std::map<std::string, std::string> parameters{{"op", "hi"}};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(HTTPRequest::GET(server.Url().c_str(), parameters), std::runtime_error);
    EXPECT_LT(SecondsSince(start), 10.0);
    EXPECT_FALSE(UpdateServerRequest::ping(server.Url().c_str()));
}

TEST(ServerRequest, ConnectionThatIsNeverAcceptedTimesOut) {
    // A listener whose accept queue is full drops further connection
    // requests, so a client's connect waits until its own time-out.
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 2; ++i) {
        const int filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        connect(filler, reinterpret_cast<sockaddr*>(&address), size);
        fillers.push_back(filler);
    }
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";

    ScopedEnv connectTime("QX_HTTP_CONNECT_SECONDS", "1");
    std::map<std::string, std::string> parameters{{"op", "hi"}};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(HTTPRequest::GET(url.c_str(), parameters), std::runtime_error);
    EXPECT_LT(SecondsSince(start), 10.0);
    for (int filler : fillers) {
        close(filler);
    }
    close(listener);
}

TEST(ServerRequest, VersionSplitsIntoExactlyThreeParts) {
    using Parts = std::vector<std::string>;
    EXPECT_EQ(UpdateServerRequest::SplitQuillarexVersion("2.10.3"), (Parts{"2", "10", "3"}));
    EXPECT_EQ(UpdateServerRequest::SplitQuillarexVersion(".."), (Parts{"", "", ""}));
    EXPECT_TRUE(UpdateServerRequest::SplitQuillarexVersion("2.10").empty());
    EXPECT_TRUE(UpdateServerRequest::SplitQuillarexVersion("2.10.3.1").empty());
    EXPECT_TRUE(UpdateServerRequest::SplitQuillarexVersion("").empty());
}

}  // namespace
