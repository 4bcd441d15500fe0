#include "SkinStyle.h"

namespace Update {

void ApplySkinStyleSheet(QWidget*) {}

} // namespace Update
