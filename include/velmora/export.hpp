#pragma once
// VELMORA_API marks what the shared library exports: the public classes and functions. Everything else in it
// stays internal.
#define VELMORA_API __attribute__((visibility("default")))
