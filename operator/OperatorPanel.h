#pragma once

#include "operator/OperatorPinStore.h"
#include "operator/PinEntryModel.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QTimer>
#include <QVariantList>

#include <functional>

namespace talvorine {

// What the controller tells the panel about the screen, asked afresh on every query.
struct OperatorContext {
    bool fatal = false;          // a fatal surface is up
    bool paired = false;         // paired: no pairing screen, a device credential held
    bool pairingVisible = false; // the pairing screen is showing
    QString screenName;          // the screen's label, trimmed
    QStringList screenDetails;   // detail fragments under the name row
};

enum class OperatorStage { Closed = 0, Locked = 1, Menu = 2, ConfirmReset = 3 };
enum class OperatorMenuItem { Name = 0, Brightness = 1, Volume = 2, Reset = 3, Exit = 4 };
enum class OperatorConfirmItem { Cancel = 0, Reset = 1 };
enum class OperatorOpenKind { EscapeKey = 0, BackKey = 1, SelectKey = 2, TouchHold = 3 };

// The local operator's settings panel: when it may open (keys, a click, a five-second touch
// hold), its stage (closed, PIN lock, menu, reset confirmation), the rows the QML menu draws, and
// the operator's brightness and volume, kept in two small files. It draws nothing: QML reads its
// properties and calls its invokables, and the owner hears of a rename, a reset or a level by
// signals. GUI thread only.
class OperatorPanel : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool open READ isOpen NOTIFY changed)
    Q_PROPERTY(QString stage READ stageName NOTIFY changed)
    Q_PROPERTY(QString heading READ heading NOTIFY changed)
    Q_PROPERTY(QString detail READ detail NOTIFY changed)
    Q_PROPERTY(QString status READ status NOTIFY changed)
    Q_PROPERTY(QVariantList rows READ rows NOTIFY changed)
    Q_PROPERTY(int selectedIndex READ selectedIndex NOTIFY changed)
    Q_PROPERTY(QString adjusting READ adjusting NOTIFY changed)
    Q_PROPERTY(bool editingName READ editingName NOTIFY changed)
    Q_PROPERTY(QString nameSeed READ nameSeed NOTIFY changed)
    Q_PROPERTY(int brightnessPercent READ brightnessPercent NOTIFY changed)
    Q_PROPERTY(int volumePercent READ volumePercent NOTIFY changed)
    Q_PROPERTY(double scrimOpacity READ scrimOpacity NOTIFY changed)
    Q_PROPERTY(double mediaVolume READ mediaVolume NOTIFY changed)
    Q_PROPERTY(bool holdFilling READ holdFilling NOTIFY holdChanged)

public:
    static constexpr int pinLength = 6;
    static constexpr int idleMs = 60000;
    static constexpr int adjustingMs = 900;
    static constexpr int holdMs = 5000;
    static constexpr int holdFillMs = 1000;
    static constexpr double holdSlopPx = 10.0;
    static constexpr int levelStep = 10;
    static constexpr int maxNameBytes = 120;

    // An empty volumePath puts "operator-volume" beside the brightness file; an empty
    // pinDerivation is the PIN store's own.
    explicit OperatorPanel(const QString& pinPath, const QString& brightnessPath,
                           QObject* parent = nullptr, const QString& volumePath = QString(),
                           OperatorPinStore::Derivation pinDerivation = {});

    // Properties.
    bool isOpen() const { return stage_ != OperatorStage::Closed; }
    QString stageName() const;
    QString heading() const;
    QString detail() const;
    QString status() const { return status_; }
    QVariantList rows() const;
    int selectedIndex() const;
    QString adjusting() const { return adjusting_; }
    bool editingName() const { return editingName_; }
    QString nameSeed() const { return nameSeed_; }
    int brightnessPercent() const { return brightnessPercent_; }
    int volumePercent() const { return volumePercent_; }
    double scrimOpacity() const;
    double mediaVolume() const;
    bool holdFilling() const { return holdFilling_; }

    Q_INVOKABLE bool handleKey(int key, bool autoRepeat = false, const QString& text = QString());
    Q_INVOKABLE void close();
    Q_INVOKABLE void openFromPointer();
    Q_INVOKABLE void dismissFromBackdrop();
    Q_INVOKABLE void selectRow(int index);
    Q_INVOKABLE void activateRow(int index);
    Q_INVOKABLE void setLevelFromPointer(const QString& key, double fraction);
    Q_INVOKABLE void commitName(const QString& text);
    Q_INVOKABLE void cancelNameEdit();
    Q_INVOKABLE void noteActivity();
    Q_INVOKABLE void touchPressed(int id, double x, double y);
    Q_INVOKABLE void touchMoved(int id, double x, double y);
    Q_INVOKABLE void touchReleased(int id);

    OperatorStage stage() const { return stage_; }
    void setContextProvider(std::function<OperatorContext()> provider);
    OperatorContext context() const;
    bool admits(OperatorOpenKind kind) const;

    // The fallback context, used while no provider is set.
    void setPaired(bool paired);
    void setPairingVisible(bool visible);
    void setFatal(bool fatal);
    void setScreenName(const QString& name);
    void setScreenDetails(const QStringList& details);

    // Kept for the owner; nothing the panel shows reads it (the overlay shows the pause).
    void setPlaybackPaused(bool paused) { playbackPaused_ = paused; }
    void setHardwareBrightness(bool present);
    void setHardwareVolume(bool present);
    void setBrightness(int percent);
    void setVolume(int percent);
    // Reload a level from its file, without signals.
    int restoreBrightness();
    int restoreVolume();
    void resetFailed();
    bool setPin(const QString& pin);
    void confirm(OperatorConfirmItem item);
    void markAdjusting(const QString& key);
    void armIdleDismiss();

    QList<OperatorMenuItem> menuItems() const;
    OperatorMenuItem selectedItem() const;
    int indexOf(OperatorMenuItem item) const;
    int rowCount() const;

    static bool isCenter(int key);
    static bool isBack(int key);
    // Control characters dropped, white space trimmed, cut to at most 120 UTF-8 bytes without
    // splitting a character.
    static QString canonicalScreenName(const QString& name);

Q_SIGNALS:
    void changed();
    void holdChanged();
    void resetConfirmed();
    void renameRequested(const QString& name);
    void brightnessChanged(int percent);
    void volumeChanged(int percent);

private:
    void openPanel();
    void handleOpenKey(int key, const QString& text);
    void handleMenuKey(int key, const QString& text);
    void handleLockedKey(int key);
    void activateMenuItem(OperatorMenuItem item);
    void submitPin();
    void settlePin(const OperatorPinStore::PinVerification& result);
    void beginRename(const QString& seed);
    void leaveNameEditor();
    void cancelHold();
    void holdFillElapsed();
    void holdElapsed();
    void adjustingElapsed();
    void setLevel(OperatorMenuItem item, int percent);
    bool storeLevel(int& level, const QString& path, int percent);

    OperatorPinStore pinStore_;
    PinEntryModel pinEntry_;
    std::function<OperatorContext()> contextProvider_;
    OperatorContext fallbackContext_;
    OperatorStage stage_ = OperatorStage::Closed;
    OperatorConfirmItem confirmSelection_ = OperatorConfirmItem::Cancel;
    OperatorMenuItem selectedItem_ = OperatorMenuItem::Brightness;
    int brightnessPercent_ = 100;
    int volumePercent_ = 100;
    bool hardwareBrightness_ = false;
    bool hardwareVolume_ = false;
    bool playbackPaused_ = false;
    bool editingName_ = false;
    QString nameSeed_;
    QString adjusting_;
    QString status_;
    QString brightnessPath_;
    QString volumePath_;
    QTimer idleTimer_;
    QTimer adjustingTimer_;
    QTimer holdTimer_;
    QTimer holdFillTimer_;
    int holdPointId_ = -1;
    double holdStartX_ = 0.0;
    double holdStartY_ = 0.0;
    bool holdFilling_ = false;
    // A PIN's key is being derived; the serial moves on at every close, so that the answer to
    // an attempt made before it unlocks nothing. The derivation has a thread of its own: it
    // waits behind no file work, and the thread (with what libcrypto keeps for it) ends with
    // the panel.
    bool pinChecking_ = false;
    quint64 pinCheckSerial_ = 0;
    QThreadPool pinChecks_;
};

} // namespace talvorine
