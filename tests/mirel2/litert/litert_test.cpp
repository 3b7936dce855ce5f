#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "mirel2/litert/interpreter.h"
#include "mirel2/litert/library.h"
#include "mirel2/litert/tensor.h"
#include "support/temp_dir.h"
#include "standins/litert/standin_models.h"
#include "support/error_text.h"

namespace velmora::litert {
namespace {

using ::testing::HasSubstr;
using velmora::testing::TempDir;
namespace standin = velmora::testing::standin;
using velmora::testing::error_of;

TEST(LitertLibrary, MissingLibraryOrFunctionIsAnErrorNamingIt) {
  const std::string missing = error_of([] { Library::open("libtensorflowlite_c_absent.so"); });
  EXPECT_THAT(missing, HasSubstr("the LiteRT C library libtensorflowlite_c_absent.so could not be loaded: "));
  EXPECT_THAT(missing, HasSubstr("cannot open shared object file"));
  EXPECT_EQ(error_of([] { Library::open("libm.so.6"); }),
            "the LiteRT C library libm.so.6 lacks the function TfLiteVersion");
}

TEST(LitertLibrary, ProcessRuntimeIsTheLibraryFoundBesideTheProgram) {
  EXPECT_EQ(runtime_version(), std::optional<std::string>(STANDIN_LITERT_VERSION));
  EXPECT_EQ(runtime(), runtime());  // loaded once
}

class LitertInterpreter : public ::testing::Test {
 protected:
  std::string model(const std::vector<standin::SignatureSpec>& sigs, const std::string& name = "m.json") {
    return standin::write_model((dir_.path() / name).string(), sigs);
  }
  TempDir dir_;
};

TEST_F(LitertInterpreter, SignaturesInModelOrderInputsInNameOrder) {
  const std::string path = model({{"second", "noop", {{"b", "float32", {2}}, {"a", "float32", {3}}}, {{"z", "float32", {1}}}},
                                  {"first", "noop", {{"x", "float32", {1}}}, {{"output_0", "float32", {1}}}}});
  Interpreter it = Interpreter::create(runtime(), path, 2);
  it.allocate_tensors();
  EXPECT_EQ(it.signature_keys(), (std::vector<std::string>{"second", "first"}));
  const SignatureRunner r = it.runner("second");
  EXPECT_EQ(r.input_names(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(r.input_dims("b"), (Dims{2}));
  EXPECT_THAT(error_of([&] { it.runner("third"); }), HasSubstr("no signature 'third'"));
}

TEST_F(LitertInterpreter, ModelFileMayGoOnceTheInterpreterExists) {
  const std::string path = model({{"s", "identity", {{"args_0", "float32", {4}}}, {{"output_0", "float32", {2, 2}}}}});
  Interpreter it = Interpreter::create(runtime(), path, 1);
  std::filesystem::remove(path);
  it.allocate_tensors();
  SignatureRunner r = it.runner("s");
  const float in[4] = {1, 2, 3, 4};
  r.set_input("args_0", {kTfLiteFloat32, Dims{4}, in, sizeof in});
  r.invoke();
  const TensorView out = r.output("output_0");
  EXPECT_EQ(out.dims, (Dims{2, 2}));
  EXPECT_EQ(std::memcmp(out.data, in, sizeof in), 0);
  EXPECT_THAT(error_of([] { Interpreter::create(runtime(), "/nonexistent/m.json", 1); }),
              HasSubstr("LiteRT could not load the model file '/nonexistent/m.json'"));
}

TEST_F(LitertInterpreter, CallsAreCheckedAsTheRuntimeChecksThem) {
  const std::string path = model({{"s", "identity", {{"args_0", "float32", {1, -1}}}, {{"output_0", "float32", {1, 3}}}},
                                  {"fixed", "identity", {{"args_0", "float32", {1, 3}}}, {{"output_0", "float32", {1, 3}}}},
                                  {"bad", "fail_invoke", {{"args_0", "float32", {1}}}, {{"output_0", "float32", {1}}}}});
  Interpreter it = Interpreter::create(runtime(), path, 1);
  it.allocate_tensors();
  SignatureRunner open = it.runner("s");
  SignatureRunner fixed = it.runner("fixed");
  SignatureRunner bad = it.runner("bad");
  const float v[3] = {1, 2, 3};
  const TensorView value{kTfLiteFloat32, Dims{1, 3}, v, sizeof v};

  // An open dimension resizes (the input starts as (1, 1)); a fixed one does not.
  open.set_input("args_0", value);
  EXPECT_EQ(open.input_dims("args_0"), (Dims{1, 3}));
  open.invoke();
  EXPECT_EQ(std::memcmp(open.output("output_0").data, v, sizeof v), 0);
  EXPECT_THAT(error_of([&] { fixed.set_input("args_0", {kTfLiteFloat32, Dims{3}, v, sizeof v}); }),
              HasSubstr("cannot resize input 'args_0' to (3,): ResizeInputTensorStrict only allows mutating unknown"));

  EXPECT_EQ(error_of([&] { fixed.set_input("args_0", {kTfLiteFloat64, Dims{1, 3}, v, sizeof v}); }),
            "Cannot set tensor: Got value of type FLOAT64 but expected type FLOAT32 for input 'args_0' of signature "
            "'fixed'");
  EXPECT_EQ(error_of([&] { fixed.set_input("x", value); }), "Invalid Input name (x) for SignatureDef 'fixed'");
  EXPECT_EQ(error_of([&] { fixed.set_inputs("args_0", value, "x", value); }),
            "Invalid number of inputs provided for running SignatureDef 'fixed', expected 1 vs provided 2");
  EXPECT_EQ(error_of([&] { fixed.output("output_1"); }), "LiteRT signature 'fixed' has no output 'output_1'");

  const float one = 1;
  bad.set_input("args_0", {kTfLiteFloat32, Dims{1}, &one, sizeof one});
  EXPECT_EQ(error_of([&] { bad.invoke(); }),
            "LiteRT signature 'bad': invoke failed: signature 'bad': kernel fail_invoke fails");
}

TEST_F(LitertInterpreter, AllocationFailureCarriesTheRuntimeMessage) {
  const std::string path = model({{"s", "fail_allocate", {{"args_0", "float32", {1}}}, {{"output_0", "float32", {1}}}}});
  Interpreter it = Interpreter::create(runtime(), path, 1);
  EXPECT_EQ(error_of([&] { it.allocate_tensors(); }),
            "LiteRT could not allocate the tensors of '" + path +
                "': kernel fail_allocate of signature 's' refuses to allocate");
}

TEST(LitertTensor, ConversionToFloat32ByValue) {
  const std::uint16_t half[3] = {0x3c00, 0xc000, 0x7c00};  // 1, -2, inf
  const double dbl[2] = {0.1, 1e40};
  const std::int8_t i8[2] = {-128, 127};
  float out[3];
  to_float32(kTfLiteFloat16, half, 3, out);
  EXPECT_EQ(out[0], 1.0f);
  EXPECT_EQ(out[1], -2.0f);
  EXPECT_EQ(out[2], INFINITY);
  to_float32(kTfLiteFloat64, dbl, 2, out);
  EXPECT_EQ(out[0], 0.1f);
  EXPECT_EQ(out[1], INFINITY);
  to_float32(kTfLiteInt8, i8, 2, out);
  EXPECT_EQ(out[0], -128.0f);
  EXPECT_EQ(out[1], 127.0f);
  EXPECT_THROW(to_float32(kTfLiteString, i8, 1, out), std::invalid_argument);
}

TEST(LitertTensor, ReshapeAndRowsKeepTheBytes) {
  const float v[6] = {0, 1, 2, 3, 4, 5};
  Tensor t;
  t.assign({kTfLiteFloat32, Dims{6}, v, sizeof v});
  t.reshape(Dims{3, 2});
  EXPECT_EQ(t.dims().text(), "(3, 2)");
  const TensorView row = t.row(2, Dims{1, 2});
  EXPECT_EQ(static_cast<const float*>(row.data)[0], 4.0f);
  EXPECT_EQ(row.bytes, 2 * sizeof(float));
  EXPECT_THROW(t.row(3, Dims{1, 2}), std::out_of_range);
  EXPECT_EQ(error_of([&] { t.reshape(Dims{4, 2}); }), "cannot reshape array of size 6 into shape (4,2)");
}

}  // namespace
}  // namespace velmora::litert
