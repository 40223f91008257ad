#pragma once
// Starts the telemetry component the way Quillon runs it: the log endpoint from the user
// default "VULogUrl" (empty or absent: the component's own), the application's secret and
// the services that exist. Main thread, once, at launch (AppDelegate's start hook).

void startTelemetry();
