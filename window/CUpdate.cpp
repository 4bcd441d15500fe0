#include "CUpdate.h"
#include "SkinStyle.h"
#include "TitleBar.h"
#include "VxTextBrowser.h"
#include "ui_CUpdate.h"

#include <QBitmap>
#include <QLabel>
#include <QPainter>
#include <QSettings>
#include <QStyleOption>
#include <QTextBlock>
#include <QTextCodec>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

namespace Update {

CUpdate::CUpdate(const CInstallation& installation, QWidget* parent)
    : QWidget(parent), m_pUi(new Ui_CUpdate), m_installation(installation), m_settings(installation.Settings())
{
    m_pUi->setupUi(this);
    setWindowFlags(Qt::FramelessWindowHint);
    SetUpTitleBar();

    connect(m_pUi->m_pBtnSkin, SIGNAL(clicked()), this, SLOT(OnStartRetailClient()));
    connect(m_pUi->m_pBtnUpdate, SIGNAL(clicked()), this, SLOT(OnStartDownLoad()));
    connect(m_pUi->m_pBtnTaste, SIGNAL(clicked()), this, SLOT(OnStartRetailClient()));
    connect(this, SIGNAL(sgnStartDownload(QString&)), this, SLOT(OnStartDownload(QString&)));

    m_pBackgroundTimer = new QTimer(this);
    m_pBackgroundTimer->setInterval(2000);
    m_nBackgroundIndex = 0;
    connect(m_pBackgroundTimer, SIGNAL(timeout()), this, SLOT(OnChangeBackgroundPic()));

    setObjectName(QStringLiteral("UpdateWidget"));
    setProperty("backgourndImg", "0");
    m_pUi->m_pBtnUpdate->setProperty("isMajor", false);

    m_pLabContent = new QLabel(tr("Update content"), m_pUi->stackedWidget);
    m_pLabContent->move(14, 230);
    m_pLabContent->setMinimumWidth(117);

    m_pVxTextBrowser = new DAROZ::VxTextBrowser(m_pUi->stackedWidget);
    m_pVxTextBrowser->setGeometry(14, 260, 650, 120);
    m_pVxTextBrowser->setObjectName(QStringLiteral("m_pVxTextBrowser"));

    SetCornerMask();
    ApplySkinStyleSheet(this, m_installation.Root());
    SetUpAccessibility();
}

CUpdate::~CUpdate()
{
    // What the workers still report while they are released is dropped.
    m_eStage = Stage::Closed;
    ReleaseWorkers();
    delete m_pUi;
}

void CUpdate::SetUrl(const QString& url) { m_strUrl = url; }
void CUpdate::SetReservedArg(const QString& arg) { m_strReservedArg = arg; }
void CUpdate::SetClientPid(int pid) { m_nClientPid = pid; }
void CUpdate::OnGetClientSize(qint64 size) { m_nPackageSize = size; }

void CUpdate::SetUpdateContent(const QString& content)
{
    m_strUpdateContent = content;
    m_pVxTextBrowser->setText(content);
    const QTextDocument* document = m_pVxTextBrowser->document();
    for (QTextBlock block = document->firstBlock(); block.isValid(); block = block.next()) {
        QTextBlockFormat format = block.blockFormat();
        format.setLineHeight(10.0, QTextBlockFormat::LineDistanceHeight);
        QTextCursor cursor = m_pVxTextBrowser->textCursor();
        cursor.setPosition(block.position(), QTextCursor::MoveAnchor);
        cursor.setBlockFormat(format);
        m_pVxTextBrowser->setTextCursor(cursor);
    }
    // Reading starts at the top, for the keyboard and a screen reader too;
    // left on the last block, focus would scroll the notes to their end.
    m_pVxTextBrowser->moveCursor(QTextCursor::Start);
}

void CUpdate::SetMajorUpdate()
{
    QPushButton* button = m_pUi->m_pBtnUpdate;
    m_bMajorUpdate = true;
    m_pUi->m_pBtnSkin->hide();
    button->setProperty("isMajor", true);
    // Style-sheet rules on the property only apply once the button is polished again.
    button->style()->polish(button);
    button->update();
}

void CUpdate::OnChangeBackgroundPic()
{
    ++m_nBackgroundIndex;
    setProperty("backgourndImg", QString::number(m_nBackgroundIndex));
    ApplySkinStyleSheet(this, m_installation.Root());
    if (m_nBackgroundIndex == 3)
        m_nBackgroundIndex = 0;
}

void CUpdate::paintEvent(QPaintEvent*)
{
    QStyleOption option;
    option.init(this);
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
}

void CUpdate::SetUpTitleBar()
{
    m_pTitleBar = new TitleBar(this);
    m_pTitleBar->SetButtonType(2);
    installEventFilter(m_pTitleBar);
    connect(m_pTitleBar, SIGNAL(SgnCloseWindow()), this, SLOT(OnBtnCloseClicked()));
    m_pUi->titleLayout->addWidget(m_pTitleBar);

    m_pTitleBar->SetTitleIcon(QIcon(m_installation.TitleIconPath()));
    m_pTitleBar->SetTitleText(m_installation.LogoName());
}

// Only the rounded rectangle is shown and takes the mouse. Made once for the
// form's size.
void CUpdate::SetCornerMask()
{
    QBitmap bitmap(size());
    bitmap.fill(Qt::white);
    QPainter painter(&bitmap);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QBrush(Qt::black, Qt::SolidPattern));
    painter.drawRoundedRect(bitmap.rect(), 6.0, 6.0, Qt::AbsoluteSize);
    painter.end();
    setMask(bitmap);
}

} // namespace Update
