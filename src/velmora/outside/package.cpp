#include "velmora/outside/package.h"

#include <memory>

#include "velmora/outside/bundled_host.h"
#include "velmora/outside/manifest_reader.h"
#include "velmora/outside/mirel2_engine.h"
#include "velmora/outside/mp4_writer.h"
#include "velmora/outside/standin_fixture.h"
#include "velmora/outside/standin_session.h"
#include "velmora/outside/unfold_imx.h"

namespace velmora::detail {

Outside package_outside() {
  Outside o;
  o.read_manifest = read_manifest;
  o.resolve_engine = resolve_engine;
  o.mirel2_engine = [](const std::string& source, std::stop_token stop) -> std::unique_ptr<Engine> {
    return std::make_unique<Mirel2Engine>(source, mirel2_options_from_env(), std::move(stop));
  };
  o.bundled_host = bundled_host;
  o.unfold_imx = unfold_imx;
  o.session_runtime = [](const std::string& folder, const json::Value& manifest) -> std::unique_ptr<session::Session> {
    return std::make_unique<StandinSession>(folder, manifest);
  };
  o.fixture_runtime = std::make_shared<StandinFixtureRuntime>();
  o.mp4_writer = default_mp4_writer;
  return o;
}

}  // namespace velmora::detail
