// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/frmAbout.h"

#include "window/Artwork.h"
#include "window/LinkLabel.h"
#include "window/WindowUtils.h"

#include <QLabel>
#include <QPushButton>

const char* const ProductHomepageAddress = "https://www.quorvath-software.com/trevasco/";
const char* const MakerHomepageAddress = "https://www.quorvath-software.com/";
const char* const SupportMailAddress = "support@quorvath-software.com";
const char* const SupportMailLink =
    "mailto:support@quorvath-software.com?subject=Trevasco:%20support%20needed";

TfrmAbout::TfrmAbout(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("About Trevasco"));
    setFixedSize(422, 296);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);

    imgLogo = new QLabel(this);
    imgLogo->setObjectName(QStringLiteral("imgLogo"));
    imgLogo->setPixmap(DrawAboutLogo());
    imgLogo->setAlignment(Qt::AlignCenter);
    imgLogo->setGeometry(12, 30, 95, 210);

    // The name twice, grey over white one pixel up and left: an engraved look.
    QFont logoFont(QStringLiteral("Arial"));
    logoFont.setStyleHint(QFont::SansSerif);
    logoFont.setBold(true);
    logoFont.setPixelSize(24);
    lblLogo2 = new QLabel(QStringLiteral("Trevasco"), this);
    lblLogo2->setObjectName(QStringLiteral("lblLogo2"));
    lblLogo2->setFont(logoFont);
    QPalette whiteText = lblLogo2->palette();
    whiteText.setColor(QPalette::WindowText, Qt::white);
    lblLogo2->setPalette(whiteText);
    lblLogo2->setGeometry(127, 23, 280, 32);
    lblLogo1 = new QLabel(QStringLiteral("Trevasco"), this);
    lblLogo1->setObjectName(QStringLiteral("lblLogo1"));
    lblLogo1->setFont(logoFont);
    QPalette grayText = lblLogo1->palette();
    grayText.setColor(QPalette::WindowText, Qt::gray);
    lblLogo1->setPalette(grayText);
    lblLogo1->setGeometry(128, 24, 280, 32);

    lblVersion = new QLabel(
        QStringLiteral("v2.6 (build 5.123)\nFreeware: you may use and pass on this program free "
                       "of charge, at your own risk."),
        this);
    lblVersion->setObjectName(QStringLiteral("lblVersion"));
    lblVersion->setWordWrap(true);
    lblVersion->setAlignment(Qt::AlignRight | Qt::AlignTop);
    lblVersion->setGeometry(128, 70, 280, 70);
    lblLicence = new QLabel(
        QStringLiteral("Free software under the GNU General Public License, version 3 or later "
                       "(GPL-3.0-or-later), without any warranty."),
        this);
    lblLicence->setObjectName(QStringLiteral("lblLicence"));
    lblLicence->setWordWrap(true);
    lblLicence->setAlignment(Qt::AlignRight | Qt::AlignTop);
    lblLicence->setGeometry(128, 132, 280, 34);

    lblHomepage = new TLinkLabel(QString::fromLatin1(MakerHomepageAddress), this);
    lblHomepage->setObjectName(QStringLiteral("lblHomepage"));
    lblHomepage->setToolTip(QStringLiteral("Go to Quorvath homepage"));
    lblHomepage->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lblHomepage->setGeometry(128, 170, 280, 18);
    lblMail = new TLinkLabel(QString::fromLatin1(SupportMailAddress), this);
    lblMail->setObjectName(QStringLiteral("lblMail"));
    lblMail->Tag = 1;
    lblMail->setToolTip(QStringLiteral("Send feedback by e-mail"));
    lblMail->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lblMail->setGeometry(128, 192, 280, 18);
    for (TLinkLabel* l : {lblHomepage, lblMail})
        connect(l, &TLinkLabel::clicked, this, [this, l] { lblHomepageClick(l); });

    btnOK = new QPushButton(QStringLiteral("&OK"), this);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    btnOK->setDefault(true);
    btnOK->setGeometry(333, 256, 75, 25);
    connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);
}

void TfrmAbout::lblHomepageClick(const TLinkLabel* sender) {
    if (sender->Tag == 1)
        ShellOpen(SupportMailLink);
    else
        ShellOpen(sender->text().toStdString());
}
