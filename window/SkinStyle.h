#pragma once

class QString;
class QWidget;

namespace Update {

// Loads <installDir>/Skin/<skin>/<objectName>.qss and sets it on the
// widget, so that property selectors are evaluated anew. The skin is read
// from "Localcfg.ini" at every call: a skin chosen while the window is open
// shows at the next call. A missing sheet leaves the widget as is.
void ApplySkinStyleSheet(QWidget* widget, const QString& installDir);

} // namespace Update
