#pragma once
// Process-wide constants and settings of the Avatar API, and the engine-id sets that decide which engine
// serves an avatar.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace velmora::detail {

inline constexpr int SAMPLE_RATE = 16000;             // samples per second of all PCM at the API
inline constexpr double SHORT_FRAC = 0.02;            // fraction of the expected frames a render may miss
inline constexpr double DEFAULT_CACHE_GB = 10.0;      // cache cap when VELMORA_AVATAR_CACHE_GB gives none
inline constexpr std::int64_t EVICT_MIN_IDLE_S = 3600;  // idle seconds before a cache entry may be evicted
inline constexpr double DEFAULT_QUIET_S = 10.0;       // VELMORA_RENDER_QUIET when unset or unusable

// The messages of an avatar that cannot be opened.
inline constexpr const char* PREPARE_FAILED = "could not prepare that avatar";
inline constexpr const char* NOT_USABLE = "that is not a usable avatar";

// A set of engine ids. The four sets are disjoint; an id in none of them is not supported.
class EngineIdSet {
 public:
  constexpr explicit EngineIdSet(std::span<const std::string_view> ids) : ids_(ids) {}
  constexpr bool contains(std::string_view id) const {
    for (const auto& i : ids_) {
      if (i == id) return true;
    }
    return false;
  }
  constexpr std::span<const std::string_view> ids() const { return ids_; }

 private:
  std::span<const std::string_view> ids_;
};

inline constexpr std::string_view SESSION_IDS[] = {"vantor2-light", "vantor2-golden"};
inline constexpr std::string_view FIXTURE_IDS[] = {"vantor1"};
inline constexpr std::string_view LITERT_IDS[] = {"mirel2"};
inline constexpr std::string_view UNIFIED_IDS[] = {"vantor2-unified"};
inline constexpr EngineIdSet SESSION{SESSION_IDS};  // the session engine, on the avatar unpacked in the cache
inline constexpr EngineIdSet FIXTURE{FIXTURE_IDS};  // the fixture engine, on the avatar file
inline constexpr EngineIdSet LITERT{LITERT_IDS};    // the mirel-2 engine adapter, on the avatar file
inline constexpr EngineIdSet UNIFIED{UNIFIED_IDS};  // the unified engine adapter, on the unpacked avatar

// The ImportError text for a family that this build has no engine for, naming its engine ids: 'this build
// has no engine for "vantor2-light" or "vantor2-golden" avatars'.
std::string no_engine_message(const EngineIdSet& family);

// True when `source` names an avatar held by the service: one upper-case ASCII letter and nine upper-case
// ASCII letters or digits, optionally followed by one newline (the pattern "^[A-Z][A-Z0-9]{9}$").
bool is_service_code(std::string_view source);

// For the name of a temporary unpack folder ("<entry>.tmp.<pid>", the pattern "^.+\.tmp\.(\d+)$"): the
// owner's process id as its digit text; nothing for any other name.
std::optional<std::string_view> tmp_owner_digits(std::string_view name);

// A setting in seconds from the text of the environment variable `name` (nothing when unset). Text that is
// not a finite number (empty text included) gives `fallback` and a warning to log.
struct SecondsSetting {
  double seconds = 0;
  std::optional<std::string> warning;
};
SecondsSetting read_seconds(std::string_view name, std::optional<std::string_view> text, double fallback);

// The environment variable `name` read now as read_seconds does, its warning logged.
double env_seconds(const char* name, double fallback);

// The seconds a session render waits for its next frame once its input has ended, from the text of
// VELMORA_RENDER_QUIET (read_seconds with DEFAULT_QUIET_S).
inline constexpr const char* QUIET_ENV = "VELMORA_RENDER_QUIET";
using QuietSetting = SecondsSetting;
QuietSetting read_quiet(std::optional<std::string_view> text);

// VELMORA_RENDER_QUIET as read at the first call in the process (its warning logged then); later changes to
// the variable have no effect.
double quiet_seconds();

}  // namespace velmora::detail
