#pragma once
// The log tag of every line the analytics service writes.

#include <QString>

inline QString VUAnalyticsLogTag() { return QStringLiteral("VovUdezirAnalytics"); }
