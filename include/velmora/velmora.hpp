#pragma once
// The Avatar API: everything an application needs, in one include. Writers of engines also include
// velmora/engine.hpp and velmora/session.hpp.
#include "velmora/audio.hpp"
#include "velmora/avatar.hpp"
#include "velmora/errors.hpp"
#include "velmora/frame.hpp"
#include "velmora/generator.hpp"
#include "velmora/log.hpp"
#include "velmora/open.hpp"
