#pragma once

#include "connectionparams.h"
#include "findoutcome.h"

#include <functional>

// Runs one Modality Worklist C-FIND with the identifier of buildWorklistIdentifier() and
// turns each match into a row as it arrives, so no answer is kept as a data set. Each row goes
// to `onRow` when given (outcome.rows then stays empty), else into outcome.rows. A match nested
// deeper than 16 levels or larger than 4 MiB ends the exchange as an invalid answer. Blocks
// until the exchange has ended or failed.
// With `stepAttributes` each row keeps what a performed procedure step for it names. The
// query asks only for params.stationAet's and params.modality's steps where they are set; a
// value no server could take fails with -1 before anything is sent.
[[nodiscard]] FindOutcome runWorklistFind(const ConnectionParams& params,
                                          const std::function<void(const WorklistRow&)>& onRow = {},
                                          bool stepAttributes = false);
