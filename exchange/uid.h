#pragma once

#include <QString>

// A new UID under the 2.25 root: "2.25." and the decimal value of a random 128-bit UUID.
// Needs no registered organisation root and never repeats in practice.
[[nodiscard]] QString newUid();
