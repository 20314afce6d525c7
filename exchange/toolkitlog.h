#pragma once

// The program writes no log: switches the toolkit's own logger off. Cheap after the first call;
// every entry point of the DICOM layer calls it.
void silenceToolkitLog();
