#pragma once
// The Avatar API: everything application code needs, in one include.
#include "velmora/audio.hpp"
#include "velmora/avatar.hpp"
#include "velmora/engine.hpp"
#include "velmora/errors.hpp"
#include "velmora/frame.hpp"
#include "velmora/log.hpp"
#include "velmora/open.hpp"
#include "velmora/session.hpp"
