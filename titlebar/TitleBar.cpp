#include "TitleBar.h"

TitleBar::TitleBar(QWidget* parent) : QWidget(parent) {}
TitleBar::~TitleBar() = default;
void TitleBar::SetButtonType(int) {}
void TitleBar::SetTitleIcon(const QIcon&) {}
void TitleBar::SetTitleText(const QString&) {}
QIcon TitleBar::GetTitleIcon() const { return {}; }
QString TitleBar::GetTitleText() const { return {}; }
bool TitleBar::eventFilter(QObject* watched, QEvent* event) { return QWidget::eventFilter(watched, event); }
void TitleBar::mousePressEvent(QMouseEvent*) {}
void TitleBar::mouseDoubleClickEvent(QMouseEvent*) {}
void TitleBar::onClicked() {}
void TitleBar::UpdateMaximize() {}
