// The system entity, module information and error answers of a simulated
// module, checked against hand-built requests.
#include <gtest/gtest.h>

#include "unit/modsim_host.h"

using namespace modsim_test;

namespace {

std::unique_ptr<modsim::Simulator> sim;

class modsimUei : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        sim =
            startSim({spec("serial=40F5849A,model=17,address=4,version=2.14.7,build=4711,"
                           "name=Bench unit,features=0x80000001,without-options=12,transport=none"),
                      spec("serial=DEADDEAD,address=2,recovery=1,ids=11111111/22222222/33333333/"
                           "44444444,uei-data=0,transport=none")});
    }
    static void TearDownTestSuite() { sim.reset(); }
    void SetUp() override { host = std::make_unique<Host>(sim->connectStream(0x40F5849A)); }
    std::unique_ptr<Host> host;
};

}  // namespace

struct GetCase {
    uint8_t option;
    Bytes answer;
};

TEST_F(modsimUei, AnswersGetsWithValueReportsOfTheOptionsWidth) {
    const GetCase cases[] = {
        {1, {4}},                       // module address
        {2, {4}},                       // router: itself
        {7, {0x2E, 0x00, 0x00, 0x07}},  // packed 2.14.7
        {8, {17}},
        {9, {0x40, 0xF5, 0x84, 0x9A}},
        {43, {0, 0, 0x12, 0x67}},
        {45, {0x80, 0, 0, 1}},
    };
    for (const auto& c : cases) {
        Bytes expected{3, c.option, 0};
        expected.insert(expected.end(), c.answer.begin(), c.answer.end());
        EXPECT_EQ(host->ask(4, {3, uint8_t(0x40 | c.option), 0x20}), (Pkt{4, expected}))
            << "option " << int(c.option);
    }
}

TEST_F(modsimUei, SendsTheNameAsAByteArrayWithSequenceAndContinueTrailers) {
    // A set of 50 bytes in three messages: 24, 24 and 2 payload bytes.
    std::string name(50, 'n');
    for (int i = 0; i < 50; ++i)
        name[i] = char('A' + i % 26);
    Bytes payload(name.begin(), name.end());
    for (int m = 0; m < 3; ++m) {
        size_t n = m < 2 ? 24 : 2;
        Bytes d{3, 0x80 | 32, 0x20};
        d.insert(d.end(), payload.begin() + m * 24, payload.begin() + m * 24 + n);
        d.push_back(uint8_t((m < 2 ? 0x80 : 0) | m));
        host->send(4, d);
    }
    EXPECT_EQ(host->receive(), (Pkt{4, {3, 0xC0 | 32, 0}}));

    host->send(4, {3, 0x40 | 32, 0x20});
    Bytes got;
    for (int m = 0; m < 3; ++m) {
        auto p = host->receive();
        ASSERT_TRUE(p);
        ASSERT_EQ(p->data.size(), m < 2 ? 28u : 6u);
        EXPECT_EQ(Bytes(p->data.begin(), p->data.begin() + 3), (Bytes{3, 32, 0}));
        EXPECT_EQ(p->data.back(), uint8_t((m < 2 ? 0x80 : 0) | m));
        got.insert(got.end(), p->data.begin() + 3, p->data.end() - 1);
    }
    EXPECT_EQ(got, payload);
    // Put the name back for the other cases.
    Bytes d{3, 0x80 | 32, 0x20};
    std::string original = "Bench unit";
    d.insert(d.end(), original.begin(), original.end());
    d.push_back(0);
    EXPECT_EQ(host->ask(4, d), (Pkt{4, {3, 0xC0 | 32, 0}}));
}

TEST_F(modsimUei, RefusesAByteArrayWhoseSequenceSkipsAMessage) {
    host->send(4, {3, 0x80 | 32, 0x20, 'a', 'b', 0x80});
    host->send(4, {3, 0x80 | 32, 0x20, 'c', 'd', 0x02});  // 1 is missing
    EXPECT_EQ(host->receive(), (Pkt{4, {3, 0xC0 | 32, 0x80, 24}}));
    EXPECT_EQ(host->ask(4, {3, 0x40 | 32, 0x20}),
              (Pkt{4, {3, 32, 0, 'B', 'e', 'n', 'c', 'h', ' ', 'u', 'n', 'i', 't', 0}}));
}

// A host that starts an array over (after a dropped link) is taken at its
// word: the partial array is forgotten, the new one counts.
TEST_F(modsimUei, TakesAByteArrayStartedOver) {
    host->send(4, {3, 0x80 | 32, 0x20, 'a', 'b', 0x80});
    host->send(4, {3, 0x80 | 32, 0x20, 'c', 'd', 0x81});
    host->send(4, {3, 0x80 | 32, 0x20, 'x', 'y', 0x80});
    host->send(4, {3, 0x80 | 32, 0x20, 'z', 0x01});
    EXPECT_EQ(host->receive(), (Pkt{4, {3, 0xC0 | 32, 0}}));
    EXPECT_EQ(host->ask(4, {3, 0x40 | 32, 0x20}), (Pkt{4, {3, 32, 0, 'x', 'y', 'z', 0}}));
}

TEST_F(modsimUei, AcknowledgesSetsAndCalls) {
    EXPECT_EQ(host->ask(4, {3, 0x80 | 20, 0x20, 1}), (Pkt{4, {3, 0xC0 | 20, 0}}));  // routeToMe
    EXPECT_EQ(host->ask(4, {3, 0x80 | 4, 0x20, 9}), (Pkt{4, {3, 0xC0 | 4, 0}}));    // LED
    EXPECT_EQ(host->ask(4, {3, 0x40 | 4, 0x20}), (Pkt{4, {3, 4, 0, 9}}));
    EXPECT_EQ(host->ask(4, {3, 0x80 | 10, 0x20}), (Pkt{4, {3, 0xC0 | 10, 0}}));  // save
}

struct ErrorCase {
    const char* what;
    Bytes request;
    Bytes answer;
};

TEST_F(modsimUei, AnswersWhatItDoesNotSupportWithErrorAnswers) {
    const ErrorCase cases[] = {
        {"unknown option get", {3, 0x40 | 50, 0x20}, {3, 50, 0x80, 29}},
        {"unknown option set", {3, 0x80 | 50, 0x20, 1}, {3, 0xC0 | 50, 0x80, 29}},
        {"option removed by configuration", {3, 0x40 | 12, 0x20}, {3, 12, 0x80, 29}},
        {"get of a set-only option", {3, 0x40 | 20, 0x20}, {3, 20, 0x80, 29}},
        {"set of a read-only option", {3, 0x80 | 9, 0x20, 0, 0, 0, 1}, {3, 0xC0 | 9, 0x80, 29}},
        {"index 1", {3, 0x40 | 9, 0x21}, {3, 9, 0x81, 26}},
        {"unknown entity", {77, 0x40 | 1, 0x20}, {77, 1, 0x80, 28}},
        {"routeToMe 2", {3, 0x80 | 20, 0x20, 2}, {3, 0xC0 | 20, 0x80, 13}},
        {"recovery option on a firmware", {3, 0x40 | 39, 0x20, 0}, {3, 39, 0x80, 29}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(host->ask(4, c.request), (Pkt{4, c.answer})) << c.what;
}

TEST_F(modsimUei, AnswersModuleInformationRequests) {
    EXPECT_EQ(host->ask(4, {0x49, 0xFF}), (Pkt{4, {0x49, 0xFF, 0, 0, 0x12, 0x67}}));
    EXPECT_EQ(host->ask(4, {0x49, 0x01, 95, 10, 0, 0x80}), (Pkt{4, {0x49, 0x01, 95, 10, 0, 0}}));
    EXPECT_EQ(host->ask(4, {0x49, 0x01, 3, 9, 0, 0x80}), (Pkt{4, {0x49, 0x01, 3, 9, 0, 29}}));
    EXPECT_EQ(host->ask(4, {0x49, 0x01, 3, 9, 0, 0x40}), (Pkt{4, {0x49, 0x01, 3, 9, 0, 0}}));
    EXPECT_EQ(host->ask(4, {0x49, 0x04, 3}), (Pkt{4, {0x49, 0x04, 3, 1}}));
    EXPECT_EQ(host->ask(4, {0x49, 0x04, 66}), (Pkt{4, {0x49, 0x04, 66, 0}}));
    EXPECT_EQ(host->ask(4, {0x49, 0x06, 3, 0}), (Pkt{4, {0x49, 0x06, 3, 0, 0}}));
    auto sub = host->ask(4, {0x49, 0x05, 3, 0});
    ASSERT_TRUE(sub);
    ASSERT_EQ(sub->data.size(), 5u);
    EXPECT_GT(sub->data[4], 20);
    EXPECT_EQ(host->ask(4, {0x17, 1, 2, 3}), (Pkt{4, {0x17, 1, 2, 3}}));  // debug echo
}

TEST_F(modsimUei, ARecoveryLoaderGivesItsIdentifierWordsBySubindex) {
    Host loader(sim->connectStream(0xDEADDEAD));
    const uint32_t words[] = {0x11111111, 0x22222222, 0x33333333, 0x44444444};
    for (uint8_t i = 0; i < 4; ++i) {
        auto p = loader.ask(2, {3, 0x40 | 39, 0x20, i});
        ASSERT_TRUE(p);
        ASSERT_EQ(p->data.size(), 7u);
        EXPECT_EQ(be32(p->data, 3), words[i]);
    }
    EXPECT_EQ(loader.ask(2, {3, 0x40 | 39, 0x20, 4}), (Pkt{2, {3, 39, 0x80, 13}}));
    EXPECT_EQ(loader.ask(2, {3, 0x40 | 9, 0x20}), (Pkt{2, {3, 9, 0, 0xDE, 0xAD, 0xDE, 0xAD}}));
    // Without byte arrays on option 10, the loader says so.
    EXPECT_EQ(loader.ask(2, {0x49, 0x01, 95, 10, 0, 0x80}), (Pkt{2, {0x49, 0x01, 95, 10, 0, 29}}));
    EXPECT_EQ(loader.ask(2, {95, 0x8A, 0x20, 1, 2, 0}), (Pkt{2, {95, 0xCA, 0x80, 29}}));
}
