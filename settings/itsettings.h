#pragma once

#include "settingslocation.h"

#include <QString>

// Keys of Settings.ini that IT sets for a workstation, beside [TLS]. The program only reads them:
// no dialog shows them and no save writes them. Like [TLS], they are read from the site preset
// when there is one, so a user's own file cannot undo them.
//   [Removal] Method     Object (also missing or empty): the removal object; Completed or
//                        Discontinued: a Modality Performed Procedure Step that ends so
//   [Removal] AET, IP, Port  the MPPS server, when it is not the worklist server (empty: it is)
//   [Worklist] StationAET, Modality  only this station's or modality's steps (empty: all)
struct ItSettings
{
    enum class Removal { Object, Completed, Discontinued };
    Removal removal = Removal::Object;
    QString removalAet; // empty: the worklist server's
    QString removalIp;
    QString removalPort;
    QString stationAet;
    QString modality;
    QString removalError; // a [Removal] value the program cannot use; no removal is sent then
};

[[nodiscard]] ItSettings LoadItSettings(const SettingsLocation& location);
