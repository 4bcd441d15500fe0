#include "VxTextBrowser.h"

namespace DAROZ {

VxTextBrowser::VxTextBrowser(QWidget* parent) : QTextBrowser(parent) {}

VxTextBrowser::~VxTextBrowser() = default;

} // namespace DAROZ
