#pragma once
// What core and telemetry need of Qt's GUI modules, installed by the window at start-up:
// the app icon scaler (24 by 24 PNG), the screen size for the device description, and the
// HTML-to-text and HTML-to-RTF converter, the image converter and the contacts' initials
// pictures. Main thread, once.

namespace GuiProviders {
void install();
}
