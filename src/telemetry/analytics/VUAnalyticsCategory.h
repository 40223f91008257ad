#pragma once
// Automatic page views: each top-level window about to be shown is reported as a page named
// after its class ("SettingsViewController" becomes the page "Settings"; a module or
// namespace prefix is dropped), while automatic page tracking is on. The GUI calls
// viewWillAppear for every such window; it does nothing until the analytics service armed
// it (activateCategory, once per process). A page shown while the service is not available
// is remembered and replayed when the service is enabled.
//
// Main thread only, like the window events that drive it.

#include <QString>

class VUAnalyticsCategory
{
public:
    static void activateCategory();
    static bool isActivated();
    static QString missedPageViewName();
    // The window's class name as its meta-object gives it.
    static void viewWillAppear(const QString &className);
    // False for the container classes, matched by exact name.
    static bool shouldTrackPageView(const QString &className);
    static QString pageNameForClassName(const QString &className);
    // Forgets the missed page and disarms (tests).
    static void resetForTesting();
};
