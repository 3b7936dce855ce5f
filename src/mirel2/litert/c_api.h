#pragma once
// The subset of the LiteRT C API that the host calls, declared from the runtime's documented functions.
// The host never links these: it resolves each one by name from the library at run time (see library.h), and
// the test stand-in defines them. Every pointer handed out by the runtime belongs to the runtime; the
// `...Delete` functions release what the matching `...Create` (or `GetSignatureRunner`) returned.
#include <cstdarg>
#include <cstddef>
#include <cstdint>

extern "C" {

typedef struct TfLiteModel TfLiteModel;
typedef struct TfLiteInterpreterOptions TfLiteInterpreterOptions;
typedef struct TfLiteInterpreter TfLiteInterpreter;
typedef struct TfLiteSignatureRunner TfLiteSignatureRunner;
typedef struct TfLiteTensor TfLiteTensor;

// 0 is success; every other value is a failure of some kind.
typedef enum TfLiteStatus {
  kTfLiteOk = 0,
  kTfLiteError = 1,
  kTfLiteDelegateError = 2,
  kTfLiteApplicationError = 3,
} TfLiteStatus;

// Element types of tensors, with the runtime's numbering.
typedef enum TfLiteType {
  kTfLiteNoType = 0,
  kTfLiteFloat32 = 1,
  kTfLiteInt32 = 2,
  kTfLiteUInt8 = 3,
  kTfLiteInt64 = 4,
  kTfLiteString = 5,
  kTfLiteBool = 6,
  kTfLiteInt16 = 7,
  kTfLiteComplex64 = 8,
  kTfLiteInt8 = 9,
  kTfLiteFloat16 = 10,
  kTfLiteFloat64 = 11,
  kTfLiteComplex128 = 12,
  kTfLiteUInt64 = 13,
  kTfLiteResource = 14,
  kTfLiteVariant = 15,
  kTfLiteUInt32 = 16,
  kTfLiteUInt16 = 17,
} TfLiteType;

typedef void (*TfLiteErrorReporterFn)(void* user_data, const char* format, va_list args);

// The runtime's version text.
const char* TfLiteVersion(void);

// Null when the file cannot be read or is not a model. The interpreter keeps what it needs of the model, so the
// model may be deleted (and the file removed) once the interpreter exists.
TfLiteModel* TfLiteModelCreateFromFile(const char* model_path);
void TfLiteModelDelete(TfLiteModel* model);

TfLiteInterpreterOptions* TfLiteInterpreterOptionsCreate(void);
void TfLiteInterpreterOptionsDelete(TfLiteInterpreterOptions* options);
void TfLiteInterpreterOptionsSetNumThreads(TfLiteInterpreterOptions* options, int32_t num_threads);
// Messages of the interpreters made with these options go to `reporter` instead of standard error.
void TfLiteInterpreterOptionsSetErrorReporter(TfLiteInterpreterOptions* options, TfLiteErrorReporterFn reporter,
                                              void* user_data);

// Null on failure. The options may be null or deleted after the call.
TfLiteInterpreter* TfLiteInterpreterCreate(const TfLiteModel* model, const TfLiteInterpreterOptions* options);
void TfLiteInterpreterDelete(TfLiteInterpreter* interpreter);
TfLiteStatus TfLiteInterpreterAllocateTensors(TfLiteInterpreter* interpreter);

// Signatures in model order.
int32_t TfLiteInterpreterGetSignatureCount(const TfLiteInterpreter* interpreter);
const char* TfLiteInterpreterGetSignatureKey(const TfLiteInterpreter* interpreter, int32_t signature_index);
// A new runner handle (release with TfLiteSignatureRunnerDelete, before the interpreter), or null for an unknown
// key. Handles of one key share the signature's tensors.
TfLiteSignatureRunner* TfLiteInterpreterGetSignatureRunner(const TfLiteInterpreter* interpreter,
                                                           const char* signature_key);

// Inputs and outputs are listed in name order.
size_t TfLiteSignatureRunnerGetInputCount(const TfLiteSignatureRunner* runner);
const char* TfLiteSignatureRunnerGetInputName(const TfLiteSignatureRunner* runner, int32_t input_index);
// Only dimensions the model leaves open (-1) may change; tensors must be allocated again afterwards.
TfLiteStatus TfLiteSignatureRunnerResizeInputTensor(TfLiteSignatureRunner* runner, const char* input_name,
                                                    const int* input_dims, int32_t input_dims_size);
TfLiteStatus TfLiteSignatureRunnerAllocateTensors(TfLiteSignatureRunner* runner);
TfLiteTensor* TfLiteSignatureRunnerGetInputTensor(TfLiteSignatureRunner* runner, const char* input_name);
TfLiteStatus TfLiteSignatureRunnerInvoke(TfLiteSignatureRunner* runner);
size_t TfLiteSignatureRunnerGetOutputCount(const TfLiteSignatureRunner* runner);
const char* TfLiteSignatureRunnerGetOutputName(const TfLiteSignatureRunner* runner, int32_t output_index);
// Null for an unknown name. The tensor's data is overwritten by the next invoke.
const TfLiteTensor* TfLiteSignatureRunnerGetOutputTensor(const TfLiteSignatureRunner* runner,
                                                         const char* output_name);
void TfLiteSignatureRunnerDelete(TfLiteSignatureRunner* runner);

TfLiteType TfLiteTensorType(const TfLiteTensor* tensor);
int32_t TfLiteTensorNumDims(const TfLiteTensor* tensor);
int32_t TfLiteTensorDim(const TfLiteTensor* tensor, int32_t dim_index);
size_t TfLiteTensorByteSize(const TfLiteTensor* tensor);
// Null while the tensor has no storage (before allocation, or after a resize until the next allocation).
void* TfLiteTensorData(const TfLiteTensor* tensor);
const char* TfLiteTensorName(const TfLiteTensor* tensor);
// Whole-tensor copies: the size must equal the tensor's byte size.
TfLiteStatus TfLiteTensorCopyFromBuffer(TfLiteTensor* tensor, const void* input_data, size_t input_data_size);
TfLiteStatus TfLiteTensorCopyToBuffer(const TfLiteTensor* tensor, void* output_data, size_t output_data_size);

}  // extern "C"
