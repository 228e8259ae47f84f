#pragma once
// Playlists in and out: M3U, extended M3U and PLS read into entries (PlaylistReader.h), entries turned
// into channel records against the catalogue (ImportPlan.h), and the shown channels written as extended
// M3U (PlaylistWriter.h). The text conversions they share are in Text.h.

#include "catalogue/ImportPlan.h"
#include "catalogue/PlaylistAddress.h"
#include "catalogue/PlaylistReader.h"
#include "catalogue/PlaylistWriter.h"
#include "catalogue/Text.h"
