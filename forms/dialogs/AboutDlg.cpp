#include "AboutDlg.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QVBoxLayout>
#include <cstdio>

#include "Controls.h"
#include "Maker.h"
#include "Pictures.h"
#include "UiServices.h"

#ifndef VELMORANT_VERSION
#define VELMORANT_VERSION "0.0.0.0"
#endif

std::string FileVersionText(const std::string& Version) {
    unsigned parts[4] = {0, 0, 0, 0};
    std::sscanf(Version.c_str(), "%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]);
    char text[64];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", parts[0] & 0xFFFFu, parts[1] & 0xFFFFu,
                  parts[2] & 0xFFFFu, parts[3] & 0xFFFFu);
    return text;
}

TformAbout::TformAbout(TUiServices* Ui, QWidget* Parent) : QDialog(Parent), FUi(Ui) {
    if (FUi == nullptr) FUi = FOwnUi = new TRealUiServices;
    setObjectName("formAbout");
    setWindowTitle("About");
    setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    QFont font("DejaVu Sans");
    font.setPointSize(8);
    setFont(font);
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, Qt::white);
    setPalette(p);
    setFixedSize(312, 203);

    labelTitle = new QLabel(this);
    labelTitle->setObjectName("labelTitle");
    QFont title = labelTitle->font();
    title.setPointSize(14);
    title.setBold(true);
    labelTitle->setFont(title);
    labelVersion = new QLabel(this);
    labelVersion->setObjectName("labelVersion");
    imgLogo = new TClickableLabel(this);
    imgLogo->setObjectName("imgLogo");
    imgLogo->setFixedSize(214, 100);
    imgLogo->setPixmap(LogoPixmap(QSize(214, 60)));
    imgLogo->setAlignment(Qt::AlignCenter);
    imgLogo->setToolTip(MakerWebAddress);
    BitBtn1 = new QPushButton("OK", this);
    BitBtn1->setObjectName("BitBtn1");
    BitBtn1->setDefault(true);
    Label1 = new QLabel(QString::fromUtf8("\u00A9 Tarnwick Instruments. All rights reserved."), this);
    Label1->setObjectName("Label1");

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 8, 12, 6);
    layout->setSpacing(2);
    layout->addWidget(labelTitle, 0, Qt::AlignHCenter);
    layout->addWidget(labelVersion, 0, Qt::AlignHCenter);
    layout->addWidget(imgLogo, 0, Qt::AlignHCenter);
    layout->addWidget(BitBtn1, 0, Qt::AlignHCenter);
    layout->addWidget(Label1, 0, Qt::AlignHCenter);

    connect(BitBtn1, &QPushButton::clicked, this, &QDialog::accept);
    connect(imgLogo, &TClickableLabel::Clicked, this, [this] { imgLogoClick(); });
    FormCreate();
}

TformAbout::~TformAbout() {
    delete FOwnUi;
}

void TformAbout::FormCreate() {
    labelTitle->setText(QApplication::applicationDisplayName());
    labelVersion->setText(QString::fromStdString("Version: " + FileVersionText(VELMORANT_VERSION)));
}

void TformAbout::imgLogoClick() {
    FUi->OpenUrl(MakerWebAddress);
}

void TformAbout::showEvent(QShowEvent* Event) {
    QDialog::showEvent(Event);
    if (QScreen* s = screen())
        move(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, frameSize(), s->availableGeometry())
                 .topLeft());
}
