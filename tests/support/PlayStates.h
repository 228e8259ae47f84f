#pragma once
#include "player/PlayState.h"

// The tests keep the states they saw as their numbers, which is how the page's texts are tabled.
inline int StateCode(castora::PlayState state) { return static_cast<int>(state); }
