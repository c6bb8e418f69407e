// SPDX-License-Identifier: GPL-3.0-or-later
// The about box.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;
class TLinkLabel;

class TfrmAbout : public QDialog {
    Q_OBJECT
public:
    explicit TfrmAbout(QWidget* parent = nullptr);

protected:
    void lblHomepageClick(const TLinkLabel* sender);

    QLabel* imgLogo;
    QLabel* lblLogo1;
    QLabel* lblLogo2;
    QLabel* lblVersion;
    QLabel* lblLicence;
    TLinkLabel* lblHomepage;
    TLinkLabel* lblMail;
    QPushButton* btnOK;
};

// Where the Help menu, the product link and the about box lead.
extern const char* const ProductHomepageAddress;
extern const char* const MakerHomepageAddress;
extern const char* const SupportMailAddress;
extern const char* const SupportMailLink;
