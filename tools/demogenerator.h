#pragma once

#include <cstdint>
#include <memory>
#include <string>

class DcmDataset;

// Plausible German worklist entries for one day, with all a Modality Performed Procedure Step
// needs, in six modalities at five stations. All but the UIDs follows from the entry's number,
// so a count gives the same patients on every run (entries 0 to 3: Müller^Jürgen, Weiß^Anna-Lena,
// Schäfer^Björn, Öztürk^Ayşe). Every tenth entry is a second step of the study before it.
struct DemoGenerator
{
    std::string date;      // the scheduled date, YYYYMMDD
    bool latin1 = false;   // ISO_IR 100; the few letters outside it become their base letter
    std::uint64_t uidRoot; // makes this run's UIDs differ from another run's

    [[nodiscard]] std::unique_ptr<DcmDataset> dataset(std::size_t index) const;
};
