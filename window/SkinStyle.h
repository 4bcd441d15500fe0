#pragma once

class QWidget;

namespace Update {

struct CLocalSettings;

// Loads <installation>/Skin/<skin>/<objectName>.qss and sets it on the
// widget, so that property selectors are evaluated anew. A missing sheet
// leaves the widget as is.
void ApplySkinStyleSheet(QWidget* widget, const CLocalSettings& settings);

} // namespace Update
