// ONNX Runtime keeps one small allocation of its own for the life of the process once a session has been
// made; it is the runtime's, not ours, so the leak checker of the sanitizer build is told to pass over it.
extern "C" const char* __lsan_default_suppressions() { return "leak:libonnxruntime.so\n"; }
