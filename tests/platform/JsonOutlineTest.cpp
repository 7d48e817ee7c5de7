#include "platform/JsonOutline.h"

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
