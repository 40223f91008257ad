#pragma once
// The main interface: makes the application object, the device controller, the delegate
// and the main window in the design's order, runs the event loop and quits in order.
// Kept free of Qt Widgets headers so the program entry can include it.
//
// Launch order: logger and system flags -> single-instance check (before anything reads or
// writes the archive folder) -> AppController -> FRWindow start-up (which starts the device
// layer) -> the delegate's will/did finish launching -> event loop.
// Quit order: the delegate (archive windows saved, window collapsed) -> the window's quit
// handler (device closed, temporary folder deleted).
//
// QUILLON_QUIT_AFTER_MS (tests only): quits through the window's close path after that many
// milliseconds.

int runMainInterface(int argc, char **argv);
