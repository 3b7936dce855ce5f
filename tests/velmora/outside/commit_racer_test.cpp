// The video's commit against another process that moves names in the target's folder at the same moment, on
// each road the temporary may take: whatever the interleaving, no file of the user's is removed but the one
// at the target's name, none is left under a temporary's name, and a write that succeeds has its video at the
// target. A few rounds by default; VELMORA_FULL_RACERS=1 runs 3,000 rounds of each racer and prints the tally.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "velmora/outside/video_target.h"
#include "velmora/support/name_racer.h"
#include "velmora/support/outcome.h"

namespace velmora {
namespace {

using detail::TemporaryRoad;
using testing::Racer;

struct RoadScope {
  explicit RoadScope(TemporaryRoad road) { detail::force_temporary_road(road); }
  ~RoadScope() { detail::force_temporary_road(TemporaryRoad::any); }
};

TEST(VideoTargetRacers, NamesMovedDuringTheCommitNeverCostAFileNorLeaveOneUnderATemporarysName) {
  const int rounds = testing::racer_rounds(60, 3000);
  const std::pair<TemporaryRoad, const char*> roads[] = {{TemporaryRoad::any, "unnamed"},
                                                          {TemporaryRoad::unnamed_through_proc, "unnamed via /proc"},
                                                          {TemporaryRoad::named, "named"}};
  for (const auto& [road, road_name] : roads) {
    const RoadScope scope(road);
    for (const Racer r : {Racer::target_and_file, Racer::target_and_link, Racer::target_and_folder,
                          Racer::temporary_and_decoy}) {
      SCOPED_TRACE(std::string(road_name) + ", " + testing::racer_name(r));
      testing::RaceTally tally;
      for (int round = 0; round < rounds; ++round) {
        testing::RaceScene s(r);
        ino_t video = 0;
        testing::Outcome got;
        {
          std::optional<testing::NameRacer> racer;
          got = testing::attempt([&] {
            detail::VideoTarget target(s.talk);
            struct stat st {};
            ASSERT_EQ(::fstat(target.fd(), &st), 0);
            video = st.st_ino;
            ASSERT_EQ(::write(target.fd(), "a video", 7), 7);
            racer.emplace(s, r);
            target.commit();
          });
        }
        if (!got.kind.empty()) {
          ASSERT_EQ(got.kind, "Failed") << got.message << ": " << got.detail;
        }
        tally.add(s, r, got.kind.empty(), video, got.detail);
      }
      tally.expect_no_fault(road_name, r);
    }
  }
}

}  // namespace
}  // namespace velmora
