#pragma once

// The main window's form, written in the shape Qt Designer's uic generates.
// The record's pointers, the object names and the texts are relied on by the
// window, the style sheet and the tests.

#include <QBrush>
#include <QCoreApplication>
#include <QCursor>
#include <QDialog>
#include <QFont>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QSizePolicy>
#include <QSpacerItem>
#include <QVBoxLayout>
#include <QWidget>

namespace Ui {

class FlashDialog
{
public:
    QVBoxLayout *verticalLayout_2;
    QHBoxLayout *horizontalLayout;
    QGroupBox *DeviceInfoStatusGroupBox;
    QVBoxLayout *verticalLayout_3;
    QWidget *StatusContainter;
    QHBoxLayout *horizontalLayout_4;
    QFormLayout *statusLayout;
    QLabel *SerialNumberLabel;
    QLabel *CurrentSerialNumberLabel;
    QLabel *boardVersionLabel;
    QLabel *CurrentBoardVersionLabel;
    QLabel *DeviceVersionLabel;
    QLabel *DeviceVersionValueLabel;
    QLabel *NoDeviceConnectedLabel;
    QLabel *vantorImageLabel;
    QGroupBox *groupBox;
    QFormLayout *formLayout_3;
    QPushButton *loadFirmwareButton;
    QLabel *FirmwareFileLabel;
    QLabel *FileVersionLabel;
    QLabel *FileVersionValueLabel;
    QLabel *firmwareFileNameLabel;
    QSpacerItem *verticalSpacer;
    QPushButton *FlashDeviceButton;
    QPushButton *aboutButton;

    void setupUi(QDialog *window)
    {
        if (window->objectName().isEmpty())
            window->setObjectName(QString::fromUtf8("FlashDialog"));
        window->setWindowModality(Qt::ApplicationModal);
        window->resize(518, 300);
        window->setSizePolicy(policy(window, QSizePolicy::Fixed, QSizePolicy::Fixed));
        window->setMinimumSize(QSize(500, 300));
        window->setMaximumSize(QSize(518, 300));
        QPalette palette;
        QBrush white(QColor(255, 255, 255, 255));
        white.setStyle(Qt::SolidPattern);
        for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
            palette.setBrush(group, QPalette::Base, white);
            palette.setBrush(group, QPalette::Window, white);
        }
        window->setPalette(palette);
        window->setFont(pointSizeFont(12));
        window->setLayoutDirection(Qt::LeftToRight);
        window->setAutoFillBackground(false);
        window->setStyleSheet(QString());

        verticalLayout_2 = new QVBoxLayout(window);
        verticalLayout_2->setSpacing(9);
        verticalLayout_2->setObjectName(QString::fromUtf8("verticalLayout_2"));
        verticalLayout_2->setSizeConstraint(QLayout::SetFixedSize);
        verticalLayout_2->setContentsMargins(-1, -1, -1, 0);

        horizontalLayout = new QHBoxLayout();
        horizontalLayout->setObjectName(QString::fromUtf8("horizontalLayout"));

        DeviceInfoStatusGroupBox = new QGroupBox(window);
        DeviceInfoStatusGroupBox->setObjectName(QString::fromUtf8("DeviceInfoStatusGroupBox"));
        DeviceInfoStatusGroupBox->setSizePolicy(
            policy(DeviceInfoStatusGroupBox, QSizePolicy::Maximum, QSizePolicy::Preferred));
        DeviceInfoStatusGroupBox->setMinimumSize(QSize(0, 100));
        DeviceInfoStatusGroupBox->setMaximumSize(QSize(16777215, 100));
        DeviceInfoStatusGroupBox->setStyleSheet(QString());
        DeviceInfoStatusGroupBox->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

        verticalLayout_3 = new QVBoxLayout(DeviceInfoStatusGroupBox);
        verticalLayout_3->setObjectName(QString::fromUtf8("verticalLayout_3"));
        verticalLayout_3->setSizeConstraint(QLayout::SetNoConstraint);

        StatusContainter = new QWidget(DeviceInfoStatusGroupBox);
        StatusContainter->setObjectName(QString::fromUtf8("StatusContainter"));
        StatusContainter->setSizePolicy(
            policy(StatusContainter, QSizePolicy::Preferred, QSizePolicy::Preferred));

        horizontalLayout_4 = new QHBoxLayout(StatusContainter);
        horizontalLayout_4->setSpacing(0);
        horizontalLayout_4->setObjectName(QString::fromUtf8("horizontalLayout_4"));
        horizontalLayout_4->setContentsMargins(0, 0, 0, 0);

        statusLayout = new QFormLayout();
        statusLayout->setObjectName(QString::fromUtf8("statusLayout"));
        statusLayout->setLabelAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        statusLayout->setFormAlignment(Qt::AlignLeft | Qt::AlignTop);
        statusLayout->setHorizontalSpacing(4);
        statusLayout->setVerticalSpacing(0);

        SerialNumberLabel = statusLabel("SerialNumberLabel");
        SerialNumberLabel->setScaledContents(true);
        statusLayout->setWidget(0, QFormLayout::LabelRole, SerialNumberLabel);
        CurrentSerialNumberLabel = statusLabel("CurrentSerialNumberLabel");
        statusLayout->setWidget(0, QFormLayout::FieldRole, CurrentSerialNumberLabel);
        boardVersionLabel = statusLabel("boardVersionLabel");
        statusLayout->setWidget(1, QFormLayout::LabelRole, boardVersionLabel);
        CurrentBoardVersionLabel = statusLabel("CurrentBoardVersionLabel");
        CurrentBoardVersionLabel->setTextFormat(Qt::AutoText);
        statusLayout->setWidget(1, QFormLayout::FieldRole, CurrentBoardVersionLabel);
        DeviceVersionLabel = statusLabel("DeviceVersionLabel");
        statusLayout->setWidget(2, QFormLayout::LabelRole, DeviceVersionLabel);
        DeviceVersionValueLabel = statusLabel("DeviceVersionValueLabel");
        statusLayout->setWidget(2, QFormLayout::FieldRole, DeviceVersionValueLabel);

        horizontalLayout_4->addLayout(statusLayout);
        verticalLayout_3->addWidget(StatusContainter);

        NoDeviceConnectedLabel = new QLabel(DeviceInfoStatusGroupBox);
        NoDeviceConnectedLabel->setObjectName(QString::fromUtf8("NoDeviceConnectedLabel"));
        NoDeviceConnectedLabel->setPalette(noDevicePalette());
        QFont boldFont;
        boldFont.setPointSize(14);
        boldFont.setBold(true);
        boldFont.setUnderline(false);
        NoDeviceConnectedLabel->setFont(boldFont);
        NoDeviceConnectedLabel->setStyleSheet(QString());
        verticalLayout_3->addWidget(NoDeviceConnectedLabel);

        horizontalLayout->addWidget(DeviceInfoStatusGroupBox);

        vantorImageLabel = new QLabel(window);
        vantorImageLabel->setObjectName(QString::fromUtf8("vantorImageLabel"));
        vantorImageLabel->setSizePolicy(
            policy(vantorImageLabel, QSizePolicy::Preferred, QSizePolicy::Preferred));
        vantorImageLabel->setPixmap(QPixmap(QString::fromUtf8(":/Vantor/icon-90x90.png")));
        vantorImageLabel->setScaledContents(false);
        vantorImageLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        vantorImageLabel->setWordWrap(false);
        horizontalLayout->addWidget(vantorImageLabel);

        verticalLayout_2->addLayout(horizontalLayout);

        groupBox = new QGroupBox(window);
        groupBox->setObjectName(QString::fromUtf8("groupBox"));
        groupBox->setSizePolicy(policy(groupBox, QSizePolicy::Preferred, QSizePolicy::Expanding));
        groupBox->setMinimumSize(QSize(500, 100));
        groupBox->setMaximumSize(QSize(500, 100));
        groupBox->setStyleSheet(QString());
        groupBox->setFlat(false);
        groupBox->setCheckable(false);

        formLayout_3 = new QFormLayout(groupBox);
        formLayout_3->setObjectName(QString::fromUtf8("formLayout_3"));
        formLayout_3->setLabelAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        formLayout_3->setFormAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        formLayout_3->setHorizontalSpacing(4);
        formLayout_3->setVerticalSpacing(0);
        formLayout_3->setContentsMargins(-1, 9, -1, 9);

        loadFirmwareButton = new QPushButton(groupBox);
        loadFirmwareButton->setObjectName(QString::fromUtf8("loadFirmwareButton"));
        loadFirmwareButton->setSizePolicy(
            policy(loadFirmwareButton, QSizePolicy::Expanding, QSizePolicy::Expanding));
        loadFirmwareButton->setMinimumSize(QSize(140, 20));
        loadFirmwareButton->setMaximumSize(QSize(140, 16777215));
        loadFirmwareButton->setFont(pointSizeFont(12));
        loadFirmwareButton->setCursor(QCursor(Qt::PointingHandCursor));
        loadFirmwareButton->setStyleSheet(QString());
        loadFirmwareButton->setFlat(true);
        formLayout_3->setWidget(0, QFormLayout::SpanningRole, loadFirmwareButton);

        verticalSpacer = new QSpacerItem(20, 80, QSizePolicy::Minimum, QSizePolicy::Expanding);
        formLayout_3->setItem(1, QFormLayout::LabelRole, verticalSpacer);

        FirmwareFileLabel = new QLabel(groupBox);
        FirmwareFileLabel->setObjectName(QString::fromUtf8("FirmwareFileLabel"));
        FirmwareFileLabel->setMinimumSize(QSize(0, 18));
        QFont kernedFont;
        kernedFont.setPointSize(12);
        kernedFont.setKerning(true);
        FirmwareFileLabel->setFont(kernedFont);
        formLayout_3->setWidget(2, QFormLayout::LabelRole, FirmwareFileLabel);

        FileVersionLabel = new QLabel(groupBox);
        FileVersionLabel->setObjectName(QString::fromUtf8("FileVersionLabel"));
        FileVersionLabel->setSizePolicy(policy(FileVersionLabel, QSizePolicy::Preferred, QSizePolicy::Fixed));
        FileVersionLabel->setMinimumSize(QSize(0, 18));
        FileVersionLabel->setFont(pointSizeFont(12));
        formLayout_3->setWidget(3, QFormLayout::LabelRole, FileVersionLabel);

        FileVersionValueLabel = new QLabel(groupBox);
        FileVersionValueLabel->setObjectName(QString::fromUtf8("FileVersionValueLabel"));
        FileVersionValueLabel->setMinimumSize(QSize(0, 18));
        FileVersionValueLabel->setFont(pointSizeFont(12));
        formLayout_3->setWidget(3, QFormLayout::FieldRole, FileVersionValueLabel);

        firmwareFileNameLabel = new QLabel(groupBox);
        firmwareFileNameLabel->setObjectName(QString::fromUtf8("firmwareFileNameLabel"));
        firmwareFileNameLabel->setMinimumSize(QSize(0, 18));
        firmwareFileNameLabel->setFont(pointSizeFont(12));
        formLayout_3->setWidget(2, QFormLayout::FieldRole, firmwareFileNameLabel);

        verticalLayout_2->addWidget(groupBox, 0, Qt::AlignVCenter);

        FlashDeviceButton = new QPushButton(window);
        FlashDeviceButton->setObjectName(QString::fromUtf8("FlashDeviceButton"));
        FlashDeviceButton->setEnabled(false);
        FlashDeviceButton->setSizePolicy(policy(FlashDeviceButton, QSizePolicy::Fixed, QSizePolicy::Fixed));
        FlashDeviceButton->setMinimumSize(QSize(0, 0));
        FlashDeviceButton->setMaximumSize(QSize(16777215, 16777215));
        FlashDeviceButton->setFont(pointSizeFont(12));
        FlashDeviceButton->setCursor(QCursor(Qt::PointingHandCursor));
        FlashDeviceButton->setStyleSheet(QString());
        FlashDeviceButton->setFlat(true);
        verticalLayout_2->addWidget(FlashDeviceButton);

        aboutButton = new QPushButton(window);
        aboutButton->setObjectName(QString::fromUtf8("aboutButton"));
        aboutButton->setSizePolicy(policy(aboutButton, QSizePolicy::Maximum, QSizePolicy::Fixed));
        aboutButton->setCursor(QCursor(Qt::PointingHandCursor));
        aboutButton->setFocusPolicy(Qt::NoFocus);
        aboutButton->setLayoutDirection(Qt::LeftToRight);
        aboutButton->setStyleSheet(QString());
        QIcon icon;
        icon.addFile(QString::fromUtf8(":/icons/information.png"), QSize(), QIcon::Normal, QIcon::Off);
        aboutButton->setIcon(icon);
        aboutButton->setAutoDefault(false);
        aboutButton->setFlat(true);
        verticalLayout_2->addWidget(aboutButton);

        // The group's title is a fixed word, deliberately not routed through the translator.
        groupBox->setTitle(QString::fromUtf8("Firmware"));

        retranslateUi(window);
        QMetaObject::connectSlotsByName(window);
    }

    void retranslateUi(QDialog *window)
    {
        window->setWindowTitle(tr("TALVEX Updater"));
        DeviceInfoStatusGroupBox->setTitle(tr("Device status"));
        SerialNumberLabel->setText(tr("Serial number:"));
        CurrentSerialNumberLabel->setText(tr("SN######"));
        boardVersionLabel->setText(tr("Board version:"));
        CurrentBoardVersionLabel->setText(tr("#.#"));
        DeviceVersionLabel->setText(tr("Firmware version:"));
        DeviceVersionValueLabel->setText(tr("#.#.#"));
        NoDeviceConnectedLabel->setText(tr("No device connected!"));
        vantorImageLabel->setText(QString());
        loadFirmwareButton->setText(tr("Choose firmware file"));
        FirmwareFileLabel->setText(tr("Firmware file:"));
        FileVersionLabel->setText(tr("Firmware version:"));
        FileVersionValueLabel->setText(tr("#.#.#"));
        firmwareFileNameLabel->setText(QString());
        FlashDeviceButton->setText(tr("Flash device"));
        aboutButton->setText(QString());
    }

private:
    static QString tr(const char *text) { return QCoreApplication::translate("FlashDialog", text, nullptr); }

    static QFont pointSizeFont(int pointSize)
    {
        QFont font;
        font.setPointSize(pointSize);
        return font;
    }

    static QSizePolicy policy(QWidget *widget, QSizePolicy::Policy horizontal, QSizePolicy::Policy vertical)
    {
        QSizePolicy sizePolicy(horizontal, vertical);
        sizePolicy.setHorizontalStretch(0);
        sizePolicy.setVerticalStretch(0);
        sizePolicy.setHeightForWidth(widget->sizePolicy().hasHeightForWidth());
        return sizePolicy;
    }

    QLabel *statusLabel(const char *objectName)
    {
        auto *label = new QLabel(StatusContainter);
        label->setObjectName(QString::fromUtf8(objectName));
        label->setMinimumSize(QSize(0, 18));
        label->setFont(pointSizeFont(12));
        return label;
    }

    static QPalette noDevicePalette()
    {
        QPalette palette;
        QBrush red(QColor(175, 31, 36, 255));
        red.setStyle(Qt::SolidPattern);
        QBrush placeholder(QColor(175, 31, 36, 128));
        placeholder.setStyle(Qt::NoBrush);
        for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
            palette.setBrush(group, QPalette::WindowText, red);
            palette.setBrush(group, QPalette::Text, red);
            palette.setBrush(group, QPalette::ButtonText, red);
            palette.setBrush(group, QPalette::PlaceholderText, placeholder);
        }
        return palette;
    }
};

} // namespace Ui
