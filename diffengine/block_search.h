// The frugal match search (strategy 3): neither file is in memory. The
// index holds the start of every block of the source (a block size that
// fits the index budget); a match through any block start is found at the
// end position that meets that block and is extended both ways byte by
// byte, reading the source through a small page cache. Where the last copy
// left off, its alignment is tried first at every position, so a copy that
// a small change or a chunk boundary cut goes on right after it.
#pragma once

#include "diffengine/match.h"

namespace diffengine {

MatchResult runBlockSearch(const MatchInput& input, const SourceIndex& index, Representation& records,
                           EngineHost& host);

}  // namespace diffengine
