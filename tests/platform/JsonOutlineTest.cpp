#include "platform/JsonOutline.h"

#include "platform/JsonDocument.h"

#include <gtest/gtest.h>

// The outline is found without parsing the parts: strings and brackets are
// honoured, and what is inside a part is left for its own parse.
TEST(JsonOutlineTest, SplitsObjectsAndArraysIntoTheirParts) {
    struct Case {
        const char* text;
        bool object;
        bool splits;
        std::vector<std::string> parts;  // "key=value" for members, the element for arrays
    };
    const Case cases[] = {
        {R"({"a":1,"b":[1,{"c":"]}"}],"d":"x\"y"})", true, true, {R"("a"=1)", R"("b"=[1,{"c":"]}"}])", R"("d"="x\"y")"}},
        {" { } ", true, true, {}},
        {R"({"a":1e400,"b":tru})", true, true, {R"("a"=1e400)", R"("b"=tru)"}},
        // brackets counted, their kinds left to the part's own parse
        {R"({"a":{"b":[1,2}],"c":1})", true, true, {R"("a"={"b":[1,2}])", R"("c"=1)"}},
        {R"({"a":1,})", true, false, {}},
        {R"({"a":1} x)", true, false, {}},
        {R"({"a":"open)", true, false, {}},
        {R"({"a":[1,2})", true, false, {}},
        {R"({a:1})", true, false, {}},
        {R"([1, "a,b" ,{"x":[]}, null])", false, true, {"1", R"("a,b")", R"({"x":[]})", "null"}},
        {"[]", false, true, {}},
        {"[1,,2]", false, false, {}},
        {"[1 2]", false, false, {}},
        {R"(["\)", false, false, {}},
        // one UTF-8 byte order mark at the very start is skipped, as the parser skips it
        {"\xEF\xBB\xBF{\"a\":1}", true, true, {R"("a"=1)"}},
        {"\xEF\xBB\xBF \r\n{ }", true, true, {}},
        {"\xEF\xBB\xBF[1,\"\xEF\xBB\xBF\"]", false, true, {"1", "\"\xEF\xBB\xBF\""}},
        {"\xEF\xBB\xBF\xEF\xBB\xBF{}", true, false, {}},  // one mark only
        {" \xEF\xBB\xBF{}", true, false, {}},                // at the very start only
        {"\xEF\xBB{}", true, false, {}},                      // a mark cut short
        {"{}\xEF\xBB\xBF", true, false, {}},
        {"\xEF\xBB\xBF[]\xEF\xBB\xBF", false, false, {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> parts;
        bool split = false;
        if (c.object) {
            std::vector<tly::JsonMemberSpan> members;
            split = tly::SplitJsonObject(c.text, members);
            for (const auto& m : members) parts.push_back(std::string(m.keyToken) + "=" + std::string(m.value));
        } else {
            std::vector<std::string_view> elements;
            split = tly::SplitJsonArray(c.text, elements);
            for (std::string_view e : elements) parts.emplace_back(e);
        }
        EXPECT_EQ(split, c.splits) << c.text;
        if (c.splits) {
            EXPECT_EQ(parts, c.parts) << c.text;
        }
    }
    EXPECT_EQ(tly::DecodeJsonStringToken(R"("activ\u0069ties")"), std::optional<std::string>("activities"));
    EXPECT_EQ(tly::DecodeJsonStringToken(R"("plain")"), std::optional<std::string>("plain"));
    EXPECT_EQ(tly::DecodeJsonStringToken(R"("bad\q")"), std::nullopt);
    EXPECT_EQ(tly::DecodeJsonStringToken("x"), std::nullopt);
}

// A byte order mark at the start of a document reads alike in every reader of
// a whole document: the outline, ParseJson and ParseJsonOrDiscard (through the
// JSON library, which skips one mark at the start of any text) all skip one,
// and none takes two, or one anywhere else.
TEST(JsonOutlineTest, OneByteOrderMarkAtTheStartOfADocumentIsSkippedByEveryReader) {
    struct Case {
        std::string text;
        bool read;
    };
    const std::string bom = "\xEF\xBB\xBF";
    const Case cases[] = {
        {bom + R"({"activities":[{"adm_id":1}],"remaining_count":0})", true},
        {bom + "\n {\"a\":[1,2]}", true},
        {bom + bom + R"({"a":1})", false},
        {" " + bom + R"({"a":1})", false},
        {R"({"a":1})" + bom, false},
        {"\xEF\xBB" + std::string(R"({"a":1})"), false},
    };
    for (const Case& c : cases) {
        std::vector<tly::JsonMemberSpan> members;
        EXPECT_EQ(tly::SplitJsonObject(c.text, members), c.read) << c.text;
        EXPECT_EQ(!tly::ParseJsonOrDiscard(c.text).is_discarded(), c.read) << c.text;
        bool parsed = true;
        try {
            tly::ParseJson(c.text);
        } catch (const nlohmann::json::parse_error&) {
            parsed = false;
        }
        EXPECT_EQ(parsed, c.read) << c.text;
    }
    std::vector<tly::JsonMemberSpan> members;
    const std::string text = bom + R"({"a":1})";
    ASSERT_TRUE(tly::SplitJsonObject(text, members));
    EXPECT_EQ(members.at(0).value.data(), text.data() + 8) << "spans lie in the text given";
    EXPECT_EQ(tly::WithoutByteOrderMark(bom + bom + "x"), bom + "x");
    EXPECT_EQ(tly::WithoutByteOrderMark("x"), "x");
    EXPECT_EQ(tly::WithoutByteOrderMark(""), "");
}
