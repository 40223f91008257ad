#pragma once
// What the telemetry component asks of the GUI: the screen size in device pixels (for its
// device description) and whether the application is hidden (its application state).
// The values are kept up to date on the main thread and read from any thread, so the
// telemetry queue never waits for the GUI. Install once, on the main thread, after the
// application object exists. It also installs what analytics hears of the GUI: activation
// changes (posted as the design's application notifications) and shown windows (page views).

void installTelemetryProviders();
