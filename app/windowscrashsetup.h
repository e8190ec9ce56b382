#pragma once

// Connects the Windows crash handler to the application: dumps go to the data
// directory, and the single-instance guard is given up after a crash.
namespace WindowsCrashSetup {

// Call first thing in main, on the main thread.
void install();

}
