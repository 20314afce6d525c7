#pragma once

// The program speaks German whatever the desktop's language: Qt's own texts (a text box's
// context menu, standard buttons) are switched to German too. Call once, after the
// application object exists. Returns false when Qt's German translation is not installed;
// those texts then stay English.
bool installGermanQtTexts();
