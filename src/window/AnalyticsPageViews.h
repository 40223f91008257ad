#pragma once
// The GUI's half of automatic page views: an application-wide event filter that reports
// every top-level window about to be shown (menus, tool tips and other pop-ups excluded) to
// the analytics service by its class name. The service decides whether it tracks it.
// Install once, on the main thread, after the application object exists.

void installAnalyticsPageViews();
