#pragma once

#include <cstdint>
#include <memory>
#include <string>

class DcmDataset;

// Makes a day's worth of plausible German worklist entries: patient names with umlauts and ß,
// IDs, birth dates, six modalities at five stations with German step and procedure descriptions,
// unique "2.25." Study Instance UIDs, accession numbers and times spread over the working day,
// and everything a Modality Performed Procedure Step needs (referenced study, requested
// procedure, protocol code).
//
// Everything but the UIDs follows from the entry's number alone, so the same count gives the same
// patients on every run; entries 0 to 3 are always Müller^Jürgen, Weiß^Anna-Lena, Schäfer^Björn
// and Öztürk^Ayşe. Every third entry also carries a Study Description, and every tenth entry is
// a second step of the study before it (same patient and Study Instance UID, its own step).
class DemoGenerator final
{
public:
    enum class Charset { Utf8, Latin1 };

    // `date` is the scheduled date as YYYYMMDD; `uidRoot` a number that makes this run's UIDs
    // differ from another run's.
    DemoGenerator(std::string date, Charset charset, std::uint64_t uidRoot);

    [[nodiscard]] std::unique_ptr<DcmDataset> dataset(std::size_t index) const;

private:
    std::string m_date;
    Charset m_charset;
    std::uint64_t m_uidRoot;
};
