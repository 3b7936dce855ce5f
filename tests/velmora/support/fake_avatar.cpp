#include "velmora/support/fake_avatar.h"

#include <cerrno>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "common/pytext.h"
#include "velmora/errors.hpp"
#include "velmora/support/scratch.h"
#include "velmora/unfold.h"

namespace velmora::testing {
namespace {

std::atomic<long long> delay_us{0};

struct Spec {
  std::string name;
  int files = 0;
  int bytes = 0;
};

Spec parse(const std::string& text) {
  std::istringstream in(text);
  std::string magic;
  Spec s;
  if (!(in >> magic >> s.name >> s.files >> s.bytes) || magic != "fake-avatar" || s.files < 0 || s.bytes < 0) {
    throw ValueError("not a fake avatar");
  }
  return s;
}

std::string part_bytes(const Spec& s, int i) {
  const std::string unit = s.name + ":" + std::to_string(i) + ";";
  std::string out;
  out.reserve(static_cast<std::size_t>(s.bytes));
  while (out.size() < static_cast<std::size_t>(s.bytes)) out += unit;
  out.resize(static_cast<std::size_t>(s.bytes));
  return out;
}

std::string manifest_text(const Spec& s) { return "{\"name\": \"" + s.name + "\"}"; }

void put(const std::string& dest, const std::string& name, const std::string& bytes) {
  detail::write_member(dest, name, {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
}

}  // namespace

std::string fake_avatar_text(const std::string& name, int files, int bytes) {
  return "fake-avatar " + name + " " + std::to_string(files) + " " + std::to_string(bytes) + "\n";
}

std::string write_fake_avatar(const std::string& path, const std::string& name, int files, int bytes) {
  write_file(path, fake_avatar_text(name, files, bytes));
  return path;
}

void fake_unfold(const std::string& source, const std::string& dest, std::stop_token stop) {
  std::ifstream in(source, std::ios::binary);
  if (!in) throw std::system_error(ENOENT, std::generic_category(), source);
  std::stringstream text;
  text << in.rdbuf();
  const Spec s = parse(text.str());
  ++unfold_calls();
  const auto pause = [&] {
    if (const long long us = delay_us.load()) std::this_thread::sleep_for(std::chrono::microseconds(us));
    if (stop.stop_requested()) throw Cancelled();
  };
  for (int i = 0; i < s.files; ++i) {
    pause();
    put(dest, "data/part-" + std::to_string(i), part_bytes(s, i));
    if (s.name == "oserror") throw std::system_error(EIO, std::generic_category(), "reading the container");
    if (s.name == "unusable") throw ValueError("the container's table is cut short");
  }
  pause();
  put(dest, "manifest.json", manifest_text(s));
}

void set_unfold_delay(std::chrono::microseconds delay) { delay_us = delay.count(); }

std::atomic<int>& unfold_calls() {
  static std::atomic<int> calls{0};
  return calls;
}

detail::Outside fake_outside() {
  detail::Outside services;
  services.unfold_imx = [](const std::string& source, const std::string& dest, std::uint64_t, std::stop_token stop) {
    fake_unfold(source, dest, std::move(stop));
  };
  return services;
}

std::string check_unpacked(const std::string& folder, const std::string& avatar_file) {
  const Spec s = parse(read_file(avatar_file));
  if (read_file(path_join(folder, "manifest.json")) != manifest_text(s)) return folder + ": manifest.json missing or wrong";
  for (int i = 0; i < s.files; ++i) {
    const std::string part = path_join(folder, "data/part-" + std::to_string(i));
    if (read_file(part) != part_bytes(s, i)) return part + ": missing or wrong";
  }
  return "";
}

}  // namespace velmora::testing
