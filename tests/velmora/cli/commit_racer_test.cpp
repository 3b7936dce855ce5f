// The command line's video against another process that moves names in the target's folder during the
// render: no file of the user's is removed but the one at the target's name, none is left under a
// temporary's name, and a render that says it wrote the video has it at the target. On a file system with
// unnamed files and on one without (O_TMPFILE refused by a preloaded stand-in). A few renders by default;
// VELMORA_FULL_RACERS=1 runs 100 of each racer on each and prints the tally.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/temp_dir.h"
#include "velmora/support/name_racer.h"
#include "velmora/support/scratch.h"

namespace velmora {
namespace {

using testing::Racer;

TEST(CommandLineRacers, NamesMovedDuringARenderNeverCostAFileNorLeaveOneUnderATemporarysName) {
  const int rounds = testing::racer_rounds(1, 100);
  testing::TempDir inputs;
  const std::string avatar = inputs.write("face.v1", "vantor1-fixture 16 16\n");
  const std::string audio = (inputs.path() / "speech.wav").string();
  std::vector<std::int16_t> tone(8000);
  for (std::size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<std::int16_t>(8000 * std::sin(0.0864 * double(i)));
  testing::write_wav(audio, 16000, 1, tone);
  const char* asan = std::getenv("ASAN_OPTIONS");
  for (const bool unnamed : {true, false}) {
    testing::ProcessOptions options;
    if (!unnamed) {
      options.env["LD_PRELOAD"] = std::string(VELMORA_BIN_DIR) + "/no_tmpfile.so";
      options.env["ASAN_OPTIONS"] = (asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0";
    }
    const char* road = unnamed ? "velmora, unnamed" : "velmora, named";
    for (const Racer r : {Racer::target_and_file, Racer::target_and_link, Racer::target_and_folder,
                          Racer::temporary_and_decoy}) {
      SCOPED_TRACE(std::string(road) + ", " + testing::racer_name(r));
      testing::RaceTally tally;
      for (int round = 0; round < rounds; ++round) {
        testing::RaceScene s(r);
        testing::ProcessResult got;
        {
          const testing::NameRacer racer(s, r);
          got = testing::run_process({std::string(VELMORA_BIN_DIR) + "/velmora", "render", avatar, audio, "-o", s.talk},
                                     "", options);
        }
        ASSERT_TRUE(got.status == 0 || got.status == 1) << got.status << ": " << got.err;
        tally.add(s, r, got.status == 0, 0, got.err);
      }
      tally.expect_no_fault(road, r);
    }
  }
}

}  // namespace
}  // namespace velmora
