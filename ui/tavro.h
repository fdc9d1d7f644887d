// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "files/mesfile.h"
#include "link/diagnosis.h"
#include "link/portmap.h"
#include "link/upload.h"
#include "model/messageset.h"

#include <QPushButton>
#include <QRadioButton>
#include <QWidget>

#include <array>

class Comm;
class Prompts;
class PortSelector;
class QGroupBox;
class QLabel;
class QLineEdit;
class Pacer;
class Uploader;

// A level option. Each one takes the Tab focus on its own, which Qt's
// auto-exclusive radio buttons do not (only the checked one of a group
// would), so the pair's exclusion is kept by hand.
class LevelOption : public QRadioButton {
    Q_OBJECT
public:
    using QRadioButton::QRadioButton;
    void pairWith(LevelOption *partner);

protected:
    // A click selects; it never clears a selected option.
    void nextCheckState() override;
};

// The Send button. During an upload its face fills from the left as the
// characters leave, inside the button's own bounds.
class SendButton : public QPushButton {
    Q_OBJECT
public:
    using QPushButton::QPushButton;
    // 0 (nothing shown) .. 1.
    void setProgress(double fraction);
    double progress() const { return m_progress; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    double m_progress = 0;
};

// The editor window: nine message rows with their input levels, the port
// selector and the Send, Load and Save buttons.
class Tavro : public QWidget {
    Q_OBJECT
public:
    Tavro(PortMap portMap, Prompts &prompts, QWidget *parent = nullptr);
    ~Tavro() override;

    const MessageSet &messageSet() const { return m_set; }

    // Reads a message file into the set and the window as Load does once
    // its dialog has given the path, with the same checks and messages.
    void loadFile(const QString &path);

    // "1" if a file exists at the path, "0" if not.
    static QString ReportFileStatus(const QString &filespec);

    static constexpr const char *kSettings = upload::kLineSettings;
    // The window tries a port again when its list opens; it takes port
    // numbers only.
    static inline const NextStep kNextStep{QStringLiteral("open the port list again"),
                                           QStringLiteral("start pelorin again"), QString()};
    static constexpr int kMaxTyped = MessageSet::kMaxTyped;

public slots:
    void Combo1_Click();
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Timer1_Timer();

    void messagebox_Change();
    void Text1_Change();
    void Text2_Change();
    void Text3_Change();
    void Text4_Change();
    void Text5_Change();
    void Text6_Change();
    void Text7_Change();
    void Text8_Change();

    void Option1_Click();
    void Option2_Click();
    void Option3_Click();
    void Option4_Click();
    void Option5_Click();
    void Option6_Click();
    void Option7_Click();
    void Option8_Click();
    void Option9_Click();
    void Option10_Click();
    void Option11_Click();
    void Option12_Click();
    void Option13_Click();
    void Option14_Click();
    void Option15_Click();
    void Option16_Click();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void createControls();
    void fitCaptions();
    void Form_Load();
    // Ports 1..4 in turn, up to the first that cannot be opened; those that
    // opened make the selector's list. Returns why the probe stopped.
    Diagnosis probePorts();
    void probeAgain();
    // A choice the program makes runs the selection just as a pick does, so
    // the selector always shows the port the link is open on.
    void choosePort(int index);
    // Shows the set as Load has just filled it.
    void showLoaded();
    void storeText(int slot);
    void storeLevel(int input, bool open);
    void enterBusy();
    void showProgress();
    void endBusy();
    void linkLost(const QString &reason);
    void uploadFailed(const QString &reason);

    MessageSet m_set;
    Prompts &m_prompts;
    // Why the last probe stopped where it did.
    Diagnosis m_probeStop;
    bool m_shownBefore = false;
    // A port that Load chose during an upload, to be chosen when it ends.
    QString m_portAfterUpload;

    QLabel *Label1 = nullptr;
    PortSelector *Combo1 = nullptr;
    std::array<QLineEdit *, 10> m_box{};       // by slot, 1..9
    std::array<QGroupBox *, 9> m_frame{};      // by input, 1..8
    std::array<LevelOption *, 17> m_option{};  // Option1..Option16
    QLabel *Label11 = nullptr;
    SendButton *Command1 = nullptr;
    QPushButton *Command2 = nullptr;
    QPushButton *Command3 = nullptr;
    Pacer *Timer1 = nullptr;
    ::Comm *Comm = nullptr;
    Uploader *m_uploader = nullptr;
};
