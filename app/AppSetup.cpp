#include "AppSetup.h"

namespace Update {

void LoadTranslations() {}
void LoadAppStyleSheet() {}

} // namespace Update
