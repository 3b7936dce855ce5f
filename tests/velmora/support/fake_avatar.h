#pragma once
// Fake packed avatars for the cache tests, and the unpacker that reads them in place of the container
// unpacker. A fake avatar file is one line, "fake-avatar <name> <files> <bytes>"; it unpacks into
// data/part-<i> files of <bytes> bytes each and, last, a manifest.json, so an unpack or a deletion caught
// half-way shows as files missing. The names "oserror" and "unusable" make the unpack fail part-way with a
// file-system error or a format error.
#include <atomic>
#include <chrono>
#include <stop_token>
#include <string>

#include "velmora/outside.h"

namespace velmora::testing {

std::string fake_avatar_text(const std::string& name, int files, int bytes);

// Writes a fake avatar file at `path` and returns `path`.
std::string write_fake_avatar(const std::string& path, const std::string& name, int files = 3, int bytes = 64);

// The unpacker; waits `delay` before each file it writes, then throws Cancelled if `stop` has been asked.
void fake_unfold(const std::string& source, const std::string& dest, std::stop_token stop = {});
void set_unfold_delay(std::chrono::microseconds delay);
// Unpacks done in this process (calls of fake_unfold that got as far as reading the avatar).
std::atomic<int>& unfold_calls();

// Services with fake_unfold as the container unpacker and nothing else.
detail::Outside fake_outside();

// Empty when `folder` holds everything `avatar_file` unpacks into, unchanged; else what is wrong with it.
std::string check_unpacked(const std::string& folder, const std::string& avatar_file);

}  // namespace velmora::testing
