#include <gtest/gtest.h>

#include "common/json.h"
#include "common/json_dump.h"

namespace velmora::json {
namespace {

TEST(JsonDump, WritesWhatPythonsCompactDumpsWrites) {
  // The expected text is json.dumps(json.loads(input), separators=(",", ":")) from Python 3.
  const std::string input = R"({"a": [1, -0.0, 1e16, 1.5e-05, 0.1, NaN, Infinity, -Infinity,
      123456789012345678901234567890, true, false, null],
      "s": "q\"b\\ \n\r\t\b\f\u0001\u007f \u00e9\u20ac\ud83d\ude00\ud800x\udfff", "": {}, "e": []})";
  const std::string python =
      R"({"a":[1,-0.0,1e+16,1.5e-05,0.1,NaN,Infinity,-Infinity,123456789012345678901234567890,true,false,null],)"
      R"("s":"q\"b\\ \n\r\t\b\f\u0001\u007f \u00e9\u20ac\ud83d\ude00\ud800x\udfff","":{},"e":[]})";
  const std::string text = dump(parse(input));
  EXPECT_EQ(text, python);
  EXPECT_EQ(dump(parse(text)), python);  // reads back to the same value
}

TEST(JsonDump, RefusesTextThatIsNotUtf8) {
  for (const char* bad : {"\xff", "\xc3", "\xc0\x80", "\xe2\x82", "\xf4\x90\x80\x80"})
    EXPECT_THROW(dump(Value::string(bad)), std::invalid_argument) << bad;
}

}  // namespace
}  // namespace velmora::json
