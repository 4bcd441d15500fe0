#include "CUpdate.h"
#include "ui_CUpdate.h"

#include <QPainter>
#include <QStyleOption>

namespace Update {

CUpdate::CUpdate(QWidget* parent) : QWidget(parent), m_pUi(new Ui_CUpdate)
{
    m_pUi->setupUi(this);
}

CUpdate::~CUpdate()
{
    delete m_pUi;
}

void CUpdate::SetUrl(const QString& url) { m_strUrl = url; }
void CUpdate::SetReservedArg(const QString& arg) { m_strReservedArg = arg; }
void CUpdate::SetUpdateContent(const QString& content) { m_strUpdateContent = content; }
void CUpdate::SetClientPid(int pid) { m_nClientPid = pid; }
void CUpdate::SetMajorUpdate() {}
void CUpdate::KillClientByPid() {}
void CUpdate::KillProcessByName(const QString&) {}
void CUpdate::OnGetClientSize(qint64 size) { m_nPackageSize = size; }
void CUpdate::OnChangeBackgroundPic() {}

void CUpdate::paintEvent(QPaintEvent*)
{
    QStyleOption option;
    option.init(this);
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
}

} // namespace Update
