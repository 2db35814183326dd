// The pure pieces of Alpaca request handling: parameter typing, the parse
// step, the readers, the envelope bytes, UniqueID and messages.
#include <gtest/gtest.h>
#include <ulfius.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "alpaca/envelope.h"
#include "alpaca/request.h"
#include "alpaca/types.h"

using namespace AlpacaServer;

namespace {

// One camera and two wheels registered.
std::size_t devices(int type) {
    return type == 1 ? 1 : type == 4 ? 2 : 0;
}

// Any value, also a bare number (the envelope writer takes objects only).
std::string text_of(const json_t* value) {
    char* text = json_dumps(value, JSON_COMPACT | JSON_ENCODE_ANY);
    std::string result = text ? text : "";
    free(text);
    return result;
}

}  // namespace

TEST(AlpacaTyping, ParameterTextsGetTheirJsonKind) {
    struct Case {
        const char* text;
        const char* json;
    };
    const Case cases[] = {
        {"True", "true"},          {"FALSE", "false"},        {"2", "2"},
        {"1.5", "1.5"},            {"1e3", "1000"},           {"abc", "\"abc\""},
        {"12", "12"},              {"-25e-1", "-2"},          {"12abc", "12"},
        {"", "\"\""},              {"inf", "\"inf\""},        {"-Infinity", "\"-Infinity\""},
        {"nan", "\"nan\""},        {"1e999", "\"1e999\""},    {"1e30", "1e30"},
        {"99999999999999999999", "1e20"},
        {"9223372036854775807", "9.2233720368547758e18"},
        {"-9223372036854775808", "-9223372036854775808"},
    };
    for (const auto& c : cases) {
        JsonRef value = type_parameter(c.text);
        EXPECT_EQ(text_of(value.get()), c.json) << c.text;
    }
    EXPECT_FALSE(type_parameter("\xff\xfe"));
}

TEST(AlpacaParse, TransactionKeysQueryAnyCaseBodyExact) {
    ParsedRequest parsed;
    EXPECT_TRUE(parse_request("/api/v1/camera/0/binx",
                              {{"clienttransactionid", "17"}, {"CLIENTID", "9"}, {"BinX", "2"}},
                              {}, 5, devices, parsed));
    EXPECT_EQ(parsed.client_transaction_id, 17u);
    EXPECT_EQ(parsed.client_id, 9u);
    EXPECT_EQ(parsed.server_transaction_id, 5u);
    EXPECT_EQ(parsed.device_type, 1);
    EXPECT_EQ(text_of(parsed.params.get()), "{\"BinX\":2}");

    // In a form body only the exact spelling is a transaction key.
    EXPECT_FALSE(parse_request("/api/v1/camera/0/binx", {},
                               {{"clienttransactionid", "17"}, {"BinX", "2"}}, 6, devices, parsed));
    EXPECT_EQ(parsed.client_transaction_id, 0u);
    EXPECT_EQ(text_of(parsed.params.get()), "{\"clienttransactionid\":17,\"BinX\":2}");

    // The body replaces a query value of the same key.
    EXPECT_TRUE(parse_request("/api/v1/filterwheel/1/position",
                              {{"Position", "1"}, {"ClientTransactionID", "3"}},
                              {{"Position", "abc"}, {"ClientTransactionID", "4"}}, 7, devices,
                              parsed));
    EXPECT_EQ(parsed.client_transaction_id, 4u);
    EXPECT_EQ(parsed.device_number, 1);
    EXPECT_EQ(parsed.device_type, 4);
    EXPECT_EQ(text_of(parsed.params.get()), "{\"Position\":\"abc\"}");
}

TEST(AlpacaParse, RefusalsOfUrlsAndTransactionIds) {
    struct Case {
        const char* url;
        const char* transaction;
        bool ok;
    };
    const Case cases[] = {
        {"/api/v1/camera/0/binx", "1", true},
        {"/api/v1/camera/0", "1", true},
        {"/api/v1/camera/00/binx", "1", true},
        {"/api/v1/filterwheel/1/names?x=1", "1", true},
        {"/api/v1/camera/0/binx", " +42", true},
        {"/api/v1/camera/0/binx", "4294967295", true},
        {"/api/v1/Camera/0/binx", "1", false},
        {"/api/v1/camera/1/binx", "1", false},
        {"/api/v1/camera/256/binx", "1", false},  // not wrapped to 0
        {"/api/v1/camera/-1/binx", "1", false},
        {"/api/v1/camera/99999/binx", "1", false},
        {"/api/v1/camera/A/binx", "1", false},
        {"/api/v1/camera/+0/binx", "1", false},
        {"/api/v1/camera/0x/binx", "1", false},
        {"/api/v1/camera//binx", "1", false},
        {"/api/v1/camera", "1", false},
        {"/api/v1/dome/0/x", "1", false},
        {"/api/v1/cameracameracameracameracameracamera/0/x", "1", false},
        {"/api/v2/camera/0/binx", "1", false},
        {"/management/apiversions", "1", false},
        {"/api/v1/camera/0/binx", "0", false},
        {"/api/v1/camera/0/binx", "", false},
        {"/api/v1/camera/0/binx", "x", false},
        {"/api/v1/camera/0/binx", "-1", false},
        {"/api/v1/camera/0/binx", "4294967296", false},  // not wrapped to 0
        {"/api/v1/camera/0/binx", "4294967297", false},  // not wrapped to 1
        {"/api/v1/camera/0/binx", "99999999999999999999999", false},
    };
    for (const auto& c : cases) {
        ParsedRequest parsed;
        EXPECT_EQ(parse_request(c.url, {{"ClientTransactionID", c.transaction}}, {}, 1, devices,
                                parsed),
                  c.ok)
            << c.url << " " << c.transaction;
    }
    ParsedRequest parsed;
    EXPECT_FALSE(parse_request("/api/v1/camera/0/binx", {}, {}, 1, devices, parsed));
}

TEST(AlpacaParse, MemberParameterReaders) {
    ParsedRequest parsed;
    ASSERT_TRUE(parse_request("/api/v1/camera/0/x",
                              {{"ClientTransactionID", "1"}, {"I", "-3"}, {"R", "2.0"},
                               {"H", "1.5"}, {"Big", "4294967296"}, {"BigR", "3e9.0"},
                               {"B", "tRuE"}, {"S", "name"}, {"N", "12"}},
                              {}, 1, devices, parsed));
    const json_t* p = parsed.params.get();
    int32_t i = 99;
    EXPECT_EQ(read_int_parameter(p, "I", i), kOk);
    EXPECT_EQ(i, -3);
    EXPECT_EQ(read_int_parameter(p, "R", i), kOk);
    EXPECT_EQ(i, 2);
    for (const char* bad : {"H", "Big", "BigR", "B", "S", "missing"})
        EXPECT_EQ(read_int_parameter(p, bad, i), kInvalidValue) << bad;
    EXPECT_EQ(i, 2);

    double d = 0;
    EXPECT_EQ(read_double_parameter(p, "H", d), kOk);
    EXPECT_EQ(d, 1.5);
    EXPECT_EQ(read_double_parameter(p, "Big", d), kOk);
    EXPECT_EQ(d, 4294967296.0);
    EXPECT_EQ(read_double_parameter(p, "S", d), kInvalidValue);

    bool b = false;
    EXPECT_EQ(read_bool_parameter(p, "B", b), kOk);
    EXPECT_TRUE(b);
    EXPECT_EQ(read_bool_parameter(p, "I", b), kInvalidValue);

    const char* s = nullptr;
    EXPECT_EQ(read_string_parameter(p, "S", s), kOk);
    EXPECT_STREQ(s, "name");
    // A name written as digits is typed an integer and refused as a string.
    EXPECT_EQ(read_string_parameter(p, "N", s), kInvalidValue);
    EXPECT_EQ(read_string_parameter(p, "i", s), kInvalidValue);  // names are exact
}

TEST(AlpacaEnvelope, BytesMatchWhatTheHttpLayerSends) {
    struct Case {
        JsonRef object;
        const char* text;
    };
    Case cases[] = {
        {device_envelope(0, JsonRef(json_integer(2)), 17, 5),
         R"({"ErrorNumber":0,"ErrorMessage":"","Value":2,"ClientTransactionID":17,"ServerTransactionID":5})"},
        {device_envelope(0, JsonRef(), 0, 4294967295u),
         R"({"ErrorNumber":0,"ErrorMessage":"","ClientTransactionID":0,"ServerTransactionID":4294967295})"},
        {device_envelope(1031, JsonRef(json_string("lost")), 1, 2),
         R"({"ErrorNumber":1031,"ErrorMessage":"Not connected","ClientTransactionID":1,"ServerTransactionID":2})"},
        {error_envelope(1025, 0, 9),
         R"({"ClientTransactionID":0,"ServerTransactionID":9,"ErrorNumber":1025,"ErrorMessage":"Invalid value"})"},
        {management_envelope(JsonRef(json_pack("[i]", 1)), 3, 4),
         R"({"Value":[1],"ClientTransactionID":3,"ServerTransactionID":4,"ErrorNumber":0,"ErrorMessage":""})"},
    };
    for (auto& c : cases) {
        EXPECT_EQ(compact_text(c.object.get()), c.text);
        struct _u_response response;
        ASSERT_EQ(ulfius_init_response(&response), U_OK);
        ASSERT_EQ(ulfius_set_json_body_response(&response, 200, c.object.get()), U_OK);
        std::string sent(static_cast<const char*>(response.binary_body), response.binary_body_length);
        EXPECT_EQ(sent, c.text);
        ulfius_clean_response(&response);
    }
}

TEST(AlpacaTables, MessagesTypesUniqueIdNotFound) {
    const std::pair<int, const char*> messages[] = {
        {0, ""},
        {1024, "Not implemented"},
        {1025, "Invalid value"},
        {1026, "Value not set"},
        {1031, "Not connected"},
        {1032, "Invalid while parked"},
        {1033, "Invalid while slaved"},
        {1035, "Invalid operation"},
        {1036, "Action not implemented"},
        {1034, "Unknown error"},
        {-1, "Unknown error"},
    };
    for (const auto& [number, text] : messages)
        EXPECT_STREQ(error_message(number), text) << number;

    EXPECT_STREQ(device_type_name(1), "camera");
    EXPECT_STREQ(device_type_label(6), "ObservingConditions");
    EXPECT_STREQ(device_type_name(9), "switch");
    EXPECT_STREQ(device_type_label(10), "Telescope");
    EXPECT_STREQ(device_type_name(0), "unknown");
    EXPECT_STREQ(device_type_label(11), "Unknown");

    // md5 of "telvadServer" "Camera One" "1" "42", computed with md5sum.
    EXPECT_EQ(make_unique_id("telvadServer", "Camera One", 1, 42),
              "147a9bb558da37351f8f43b140712fbf");
    EXPECT_EQ(make_unique_id("", "", 0, 0), "b4b147bc522828731f1a016bfa72c073");  // md5 of "00"

    EXPECT_EQ(not_found_text("/foo"), "Alpaca API route /foo was not found on this driver");
    std::string text = not_found_text(std::string(10000, 'a'));
    EXPECT_EQ(text.size(), 4095u);
    EXPECT_EQ(text.substr(0, 17), "Alpaca API route ");
}

TEST(AlpacaCounter, EveryThreadGetsDistinctIds) {
    TransactionCounter counter;
    EXPECT_EQ(counter.next(), 1u);
    std::vector<std::vector<uint32_t>> seen(4);
    std::vector<std::thread> threads;
    for (auto& ids : seen)
        threads.emplace_back([&counter, &ids] {
            for (int n = 0; n < 1000; ++n)
                ids.push_back(counter.next());
        });
    for (auto& t : threads)
        t.join();
    std::vector<bool> hit(4002, false);
    for (const auto& ids : seen)
        for (uint32_t id : ids) {
            ASSERT_TRUE(id >= 2 && id <= 4001);
            EXPECT_FALSE(hit[id]);
            hit[id] = true;
        }
}
