#pragma once

#include <QString>

#include <memory>

class DcmDataset;

// The worklist query's identifier: 48 attributes, four of them sequences with one item each.
// Every attribute is an empty return key except the scheduled start date (the current day
// as "yyyyMMdd-yyyyMMdd", read twice) and the start time ("000000-235959"). Pregnancy Status
// is an empty return key too: a server matching on a value would drop the day's entries.
// Scheduled Station AE Title and Modality carry `stationAet` and `modality` (empty: return
// keys). The caller owns the result.
[[nodiscard]] std::unique_ptr<DcmDataset> buildWorklistIdentifier(const QString& stationAet = {},
                                                                  const QString& modality = {});
