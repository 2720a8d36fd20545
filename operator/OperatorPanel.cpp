#include "operator/OperatorPanel.h"

#include "operator/BrightnessPolicy.h"
#include "storage/StorageFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QVariantMap>
#include <QtConcurrent/QtConcurrentRun>

#include <cmath>

namespace talvorine {

namespace {

const QString UnnamedTitle = QStringLiteral("Unknown screen");
const QString ConfirmTitle = QStringLiteral("Reset this screen?");
const QString ConfirmDetail =
    QStringLiteral("It gets a new key and a new pairing code, and must be paired again.");
const QString KeyName = QStringLiteral("name");
const QString KeyBrightness = QStringLiteral("brightness");
const QString KeyVolume = QStringLiteral("volume");
const QString ResettingStatus = QStringLiteral("Resetting\u2026");
const QString CheckingStatus = QStringLiteral("Checking\u2026");
const QString ResetFailedStatus =
    QStringLiteral("Reset failed. Check the connection and try again.");

constexpr qint64 maxLevelFileBytes = 64;

QVariantMap row(const QString& key, const QString& label)
{
    return {{QStringLiteral("key"), key},       {QStringLiteral("label"), label},
            {QStringLiteral("value"), QString()}, {QStringLiteral("level"), -1},
            {QStringLiteral("muted"), false},   {QStringLiteral("detail"), QString()}};
}

int loadPercent(const QString& path)
{
    if (path.isEmpty())
        return 100;
    const std::optional<QByteArray> bytes =
        StorageFiles::readRegularFile(path, maxLevelFileBytes);
    if (!bytes)
        return 100;
    bool ok = false;
    const int value = QString::fromUtf8(*bytes).trimmed().toInt(&ok, 10);
    return ok ? BrightnessPolicy::clampPercent(value) : 100;
}

// Best effort: a level that cannot be stored still holds for this run.
void persistPercent(const QString& path, int percent)
{
    if (path.isEmpty() || !StorageFiles::ensurePrivateDirectory(QFileInfo(path).absolutePath()))
        return;
    StorageFiles::writeFileAtomically(path, QByteArray::number(percent));
}

// A typed character that may start a new name: one printable character that is not white space.
bool startsName(const QString& text)
{
    const QList<uint> points = text.toUcs4();
    return points.size() == 1 && QChar::isPrint(char32_t(points.front()))
        && !QChar::isSpace(char32_t(points.front()));
}

int utf8Width(char32_t point)
{
    return point < 0x80 ? 1 : point < 0x800 ? 2 : point < 0x10000 ? 3 : 4;
}

} // namespace

OperatorPanel::OperatorPanel(const QString& pinPath, const QString& brightnessPath,
                             QObject* parent, const QString& volumePath,
                             OperatorPinStore::Derivation pinDerivation)
    : QObject(parent),
      pinStore_(pinPath, {}, std::move(pinDerivation)),
      pinEntry_(pinLength),
      brightnessPath_(brightnessPath),
      volumePath_(volumePath.isEmpty() && !brightnessPath.isEmpty()
                      ? QFileInfo(brightnessPath).dir().filePath(QStringLiteral("operator-volume"))
                      : volumePath),
      idleTimer_(this),
      adjustingTimer_(this),
      holdTimer_(this),
      holdFillTimer_(this)
{
    struct TimerRow {
        QTimer* timer;
        const char* name;
        Qt::TimerType precision;
        int intervalMs;
        void (OperatorPanel::*handler)();
    };
    const TimerRow timers[] = {
        {&idleTimer_, "operatorIdle", Qt::PreciseTimer, idleMs, &OperatorPanel::close},
        {&adjustingTimer_, "operatorAdjusting", Qt::CoarseTimer, adjustingMs,
         &OperatorPanel::adjustingElapsed},
        {&holdTimer_, "operatorHold", Qt::PreciseTimer, holdMs, &OperatorPanel::holdElapsed},
        {&holdFillTimer_, "operatorHoldFill", Qt::PreciseTimer, holdFillMs,
         &OperatorPanel::holdFillElapsed},
    };
    for (const TimerRow& row : timers) {
        row.timer->setObjectName(QLatin1String(row.name));
        row.timer->setSingleShot(true);
        row.timer->setTimerType(row.precision);
        row.timer->setInterval(row.intervalMs);
        connect(row.timer, &QTimer::timeout, this, row.handler);
    }
    brightnessPercent_ = loadPercent(brightnessPath_);
    volumePercent_ = loadPercent(volumePath_);
    pinChecks_.setMaxThreadCount(1);
}

// --- Properties ---

QString OperatorPanel::stageName() const
{
    switch (stage_) {
    case OperatorStage::Closed: return QStringLiteral("closed");
    case OperatorStage::Locked: return QStringLiteral("locked");
    case OperatorStage::Menu: return QStringLiteral("menu");
    case OperatorStage::ConfirmReset: return QStringLiteral("confirm_reset");
    }
    return {};
}

QString OperatorPanel::heading() const
{
    switch (stage_) {
    case OperatorStage::Locked: return QStringLiteral("PIN");
    case OperatorStage::ConfirmReset: return ConfirmTitle;
    default: return {};
    }
}

QString OperatorPanel::detail() const
{
    switch (stage_) {
    case OperatorStage::Locked:
        return pinStore_.remainingLockoutMs() > 0 ? QStringLiteral("Locked") : pinEntry_.display();
    case OperatorStage::ConfirmReset: return ConfirmDetail;
    default: return {};
    }
}

QVariantList OperatorPanel::rows() const
{
    QVariantList rows;
    if (stage_ == OperatorStage::ConfirmReset) {
        rows.append(row(QStringLiteral("cancel"), QStringLiteral("Cancel")));
        rows.append(row(QStringLiteral("reset"), QStringLiteral("Reset")));
        return rows;
    }
    if (stage_ != OperatorStage::Menu)
        return rows;
    for (OperatorMenuItem item : menuItems()) {
        switch (item) {
        case OperatorMenuItem::Name: {
            const OperatorContext current = context();
            const QString name = current.screenName.trimmed();
            QVariantMap entry = row(KeyName, name.isEmpty() ? UnnamedTitle : name);
            entry.insert(QStringLiteral("muted"), name.isEmpty());
            entry.insert(QStringLiteral("detail"),
                         current.screenDetails.join(QStringLiteral("  \u00b7  ")));
            rows.append(entry);
            break;
        }
        case OperatorMenuItem::Brightness: {
            QVariantMap entry = row(KeyBrightness, QStringLiteral("Brightness"));
            entry.insert(QStringLiteral("value"), QStringLiteral("%1%").arg(brightnessPercent_));
            entry.insert(QStringLiteral("level"), brightnessPercent_);
            rows.append(entry);
            break;
        }
        case OperatorMenuItem::Volume: {
            QVariantMap entry = row(KeyVolume, QStringLiteral("Volume"));
            entry.insert(QStringLiteral("value"), volumePercent_ == 0
                                                      ? QStringLiteral("Muted")
                                                      : QStringLiteral("%1%").arg(volumePercent_));
            entry.insert(QStringLiteral("level"), volumePercent_);
            rows.append(entry);
            break;
        }
        case OperatorMenuItem::Reset:
            rows.append(row(QStringLiteral("reset"), QStringLiteral("Reset this screen")));
            break;
        case OperatorMenuItem::Exit:
            rows.append(row(QStringLiteral("exit"), QStringLiteral("Exit settings")));
            break;
        }
    }
    return rows;
}

int OperatorPanel::selectedIndex() const
{
    switch (stage_) {
    case OperatorStage::ConfirmReset: return int(confirmSelection_);
    case OperatorStage::Menu: return indexOf(selectedItem_);
    default: return 0;
    }
}

double OperatorPanel::scrimOpacity() const
{
    return hardwareBrightness_ ? 0.0 : BrightnessPolicy::split(brightnessPercent_).scrimOpacity;
}

double OperatorPanel::mediaVolume() const
{
    return hardwareVolume_ ? 1.0 : volumePercent_ / 100.0;
}

// --- Keys ---

bool OperatorPanel::handleKey(int key, bool autoRepeat, const QString& text)
{
    if (stage_ == OperatorStage::Closed) {
        OperatorOpenKind kind = OperatorOpenKind::SelectKey;
        if (key == Qt::Key_Escape)
            kind = OperatorOpenKind::EscapeKey;
        else if (key == Qt::Key_Back)
            kind = OperatorOpenKind::BackKey;
        else if (!isCenter(key))
            return false;
        if (!admits(kind))
            return false;
        if (!autoRepeat)
            openPanel();
        return true;
    }
    if (editingName_) {
        // The name field takes every other key itself.
        armIdleDismiss();
        if (!isBack(key))
            return false;
        if (!autoRepeat) {
            leaveNameEditor();
            nameSeed_.clear();
            armIdleDismiss();
            Q_EMIT changed();
        }
        return true;
    }
    // N and P step pages for the controller unless they are typing a name on the name row.
    if ((key == Qt::Key_N || key == Qt::Key_P)
        && !(stage_ == OperatorStage::Menu && selectedItem() == OperatorMenuItem::Name))
        return false;
    // Only the level keys repeat; any other held key is consumed and ignored.
    if (key == Qt::Key_Left || key == Qt::Key_Right || !autoRepeat)
        handleOpenKey(key, text);
    return true;
}

void OperatorPanel::handleOpenKey(int key, const QString& text)
{
    armIdleDismiss();
    if (isBack(key)) {
        close();
        return;
    }
    switch (stage_) {
    case OperatorStage::Locked:
        handleLockedKey(key);
        break;
    case OperatorStage::Menu:
        handleMenuKey(key, text);
        break;
    case OperatorStage::ConfirmReset:
        if (key == Qt::Key_Up || key == Qt::Key_Down) {
            confirmSelection_ = confirmSelection_ == OperatorConfirmItem::Cancel
                ? OperatorConfirmItem::Reset
                : OperatorConfirmItem::Cancel;
        } else if (isCenter(key)) {
            confirm(confirmSelection_);
        }
        break;
    case OperatorStage::Closed:
        break;
    }
    if (isOpen())
        Q_EMIT changed();
}

void OperatorPanel::handleLockedKey(int key)
{
    if (key == Qt::Key_Left)
        pinEntry_.moveCaret(-1);
    else if (key == Qt::Key_Right)
        pinEntry_.moveCaret(+1);
    else if (key == Qt::Key_Up)
        pinEntry_.stepDigit(+1);
    else if (key == Qt::Key_Down)
        pinEntry_.stepDigit(-1);
    else if (isCenter(key))
        submitPin();
}

void OperatorPanel::handleMenuKey(int key, const QString& text)
{
    const QList<OperatorMenuItem> items = menuItems();
    const int count = int(items.size());
    const int position = indexOf(selectedItem());
    const OperatorMenuItem selected = selectedItem();
    if (key == Qt::Key_Down) {
        selectedItem_ = items.at((position + 1) % count);
    } else if (key == Qt::Key_Up) {
        selectedItem_ = items.at((position - 1 + count) % count);
    } else if (key == Qt::Key_Right || key == Qt::Key_Left) {
        const int step = key == Qt::Key_Right ? levelStep : -levelStep;
        if (selected == OperatorMenuItem::Brightness)
            setLevel(selected, brightnessPercent_ + step);
        else if (selected == OperatorMenuItem::Volume)
            setLevel(selected, volumePercent_ + step);
    } else if (isCenter(key)) {
        activateMenuItem(selected);
    } else if (selected == OperatorMenuItem::Name && startsName(text)) {
        beginRename(text);
    }
}

void OperatorPanel::activateMenuItem(OperatorMenuItem item)
{
    switch (item) {
    case OperatorMenuItem::Reset:
        stage_ = OperatorStage::ConfirmReset;
        status_.clear();
        confirmSelection_ = OperatorConfirmItem::Cancel;
        break;
    case OperatorMenuItem::Exit:
        close();
        break;
    case OperatorMenuItem::Name:
        beginRename(QString());
        break;
    case OperatorMenuItem::Brightness:
    case OperatorMenuItem::Volume:
        break;
    }
}

// The key is derived on the panel's own thread, as long as a record's iterations take, while
// the player keeps drawing; the panel says it is checking and takes no other attempt meanwhile.
void OperatorPanel::submitPin()
{
    if (pinChecking_)
        return;
    OperatorPinStore::PinAttempt attempt = pinStore_.beginVerify(pinEntry_.value());
    pinEntry_.reset();
    if (attempt.settled) {
        settlePin(*attempt.settled);
        return;
    }
    pinChecking_ = true;
    status_ = CheckingStatus;
    auto* check = new QFutureWatcher<QByteArray>(this);
    connect(check, &QFutureWatcherBase::finished, this,
            [this, check, record = std::move(attempt.record), serial = pinCheckSerial_] {
                check->deleteLater();
                pinChecking_ = false;
                const OperatorPinStore::PinVerification result =
                    pinStore_.finishVerify(record, check->result());
                // The attempt counts however it ends; a panel closed meanwhile stays closed.
                if (serial != pinCheckSerial_)
                    return;
                status_.clear();
                settlePin(result);
                Q_EMIT changed();
            });
    check->setFuture(QtConcurrent::run(&pinChecks_, std::move(attempt.derive)));
}

void OperatorPanel::settlePin(const OperatorPinStore::PinVerification& result)
{
    using Outcome = OperatorPinStore::PinVerification::Outcome;
    if (result.outcome == Outcome::Accepted || result.outcome == Outcome::NotConfigured) {
        stage_ = OperatorStage::Menu;
        selectedItem_ = OperatorMenuItem::Brightness;
    }
}

// --- Opening and closing ---

void OperatorPanel::openPanel()
{
    cancelHold();
    pinEntry_.reset();
    status_.clear();
    leaveNameEditor();
    stage_ = pinStore_.isConfigured() ? OperatorStage::Locked : OperatorStage::Menu;
    selectedItem_ = OperatorMenuItem::Brightness;
    Q_EMIT changed();
    armIdleDismiss();
}

void OperatorPanel::close()
{
    if (!isOpen())
        return;
    stage_ = OperatorStage::Closed;
    ++pinCheckSerial_;
    idleTimer_.stop();
    adjustingTimer_.stop();
    adjusting_.clear();
    leaveNameEditor();
    nameSeed_.clear();
    status_.clear();
    pinEntry_.reset();
    Q_EMIT changed();
}

void OperatorPanel::openFromPointer()
{
    if (stage_ == OperatorStage::Closed && !context().fatal)
        openPanel();
}

void OperatorPanel::dismissFromBackdrop()
{
    close();
}

// --- Pointer rows ---

void OperatorPanel::selectRow(int index)
{
    if (index < 0)
        return;
    if (stage_ == OperatorStage::ConfirmReset) {
        if (index <= 1 && index != int(confirmSelection_)) {
            confirmSelection_ = OperatorConfirmItem(index);
            armIdleDismiss();
            Q_EMIT changed();
        }
    } else if (stage_ == OperatorStage::Menu) {
        const QList<OperatorMenuItem> items = menuItems();
        if (index < items.size() && index != selectedIndex()) {
            selectedItem_ = items.at(index);
            armIdleDismiss();
            Q_EMIT changed();
        }
    }
}

void OperatorPanel::activateRow(int index)
{
    if (index < 0 || index >= rowCount())
        return;
    armIdleDismiss();
    if (stage_ == OperatorStage::ConfirmReset) {
        confirmSelection_ = OperatorConfirmItem(index);
        confirm(confirmSelection_);
    } else if (stage_ == OperatorStage::Menu) {
        selectedItem_ = menuItems().at(index);
        activateMenuItem(selectedItem_);
    }
    if (isOpen())
        Q_EMIT changed();
}

void OperatorPanel::setLevelFromPointer(const QString& key, double fraction)
{
    if (stage_ != OperatorStage::Menu || !std::isfinite(fraction))
        return;
    OperatorMenuItem item = OperatorMenuItem::Brightness;
    if (key == KeyVolume)
        item = OperatorMenuItem::Volume;
    else if (key != KeyBrightness)
        return;
    // Steps of ten, half away from zero.
    setLevel(item, int(std::round(std::clamp(fraction, 0.0, 1.0) * 100.0 / levelStep)) * levelStep);
    armIdleDismiss();
    Q_EMIT changed();
}

void OperatorPanel::setLevel(OperatorMenuItem item, int percent)
{
    selectedItem_ = item;
    if (item == OperatorMenuItem::Brightness) {
        markAdjusting(KeyBrightness);
        setBrightness(percent);
    } else {
        markAdjusting(KeyVolume);
        setVolume(percent);
    }
}

// --- Rename ---

void OperatorPanel::beginRename(const QString& seed)
{
    const OperatorContext current = context();
    if (!current.paired)
        return;
    editingName_ = true;
    nameSeed_ = seed.isEmpty() ? current.screenName.trimmed() : seed;
    armIdleDismiss();
    Q_EMIT changed();
}

void OperatorPanel::commitName(const QString& text)
{
    if (!editingName_)
        return;
    leaveNameEditor();
    nameSeed_.clear();
    const QString name = canonicalScreenName(text);
    armIdleDismiss();
    if (!name.isEmpty() && name != context().screenName.trimmed())
        Q_EMIT renameRequested(name);
    Q_EMIT changed();
}

void OperatorPanel::cancelNameEdit()
{
    if (!editingName_)
        return;
    leaveNameEditor();
    nameSeed_.clear();
    armIdleDismiss();
    Q_EMIT changed();
}

void OperatorPanel::leaveNameEditor()
{
    editingName_ = false;
}

QString OperatorPanel::canonicalScreenName(const QString& name)
{
    QString kept;
    kept.reserve(name.size());
    for (QChar c : name) {
        if (c.category() != QChar::Other_Control)
            kept.append(c);
    }
    kept = kept.trimmed();
    // The longest prefix of whole characters within the limit, trimmed: where removing the last
    // character and trimming again, over and over, arrives, without encoding the name each time.
    qsizetype end = 0;
    int bytes = 0;
    while (end < kept.size()) {
        const bool pair = kept.at(end).isHighSurrogate() && end + 1 < kept.size()
            && kept.at(end + 1).isLowSurrogate();
        const char32_t point =
            pair ? QChar::surrogateToUcs4(kept.at(end), kept.at(end + 1)) : kept.at(end).unicode();
        bytes += utf8Width(point);
        if (bytes > maxNameBytes)
            break;
        end += pair ? 2 : 1;
    }
    return kept.left(end).trimmed();
}

// --- Touch hold ---

void OperatorPanel::touchPressed(int id, double x, double y)
{
    if (holdPointId_ != -1) {
        cancelHold(); // a second finger is not a hold
        return;
    }
    if (stage_ != OperatorStage::Closed || !admits(OperatorOpenKind::TouchHold))
        return;
    holdPointId_ = id;
    holdStartX_ = x;
    holdStartY_ = y;
    holdTimer_.start();
    holdFillTimer_.start();
}

void OperatorPanel::touchMoved(int id, double x, double y)
{
    if (holdPointId_ != -1 && id == holdPointId_
        && std::hypot(x - holdStartX_, y - holdStartY_) > holdSlopPx)
        cancelHold();
}

void OperatorPanel::touchReleased(int id)
{
    if (holdPointId_ != -1 && id == holdPointId_)
        cancelHold();
}

void OperatorPanel::cancelHold()
{
    holdPointId_ = -1;
    holdTimer_.stop();
    holdFillTimer_.stop();
    if (holdFilling_) {
        holdFilling_ = false;
        Q_EMIT holdChanged();
    }
}

void OperatorPanel::holdFillElapsed()
{
    holdFilling_ = true;
    Q_EMIT holdChanged();
}

void OperatorPanel::holdElapsed()
{
    cancelHold();
    if (stage_ == OperatorStage::Closed && admits(OperatorOpenKind::TouchHold))
        openPanel();
}

void OperatorPanel::adjustingElapsed()
{
    if (adjusting_.isEmpty())
        return;
    adjusting_.clear();
    Q_EMIT changed();
}

void OperatorPanel::noteActivity()
{
    if (isOpen())
        armIdleDismiss();
}

// --- Context ---

void OperatorPanel::setContextProvider(std::function<OperatorContext()> provider)
{
    contextProvider_ = std::move(provider);
}

OperatorContext OperatorPanel::context() const
{
    return contextProvider_ ? contextProvider_() : fallbackContext_;
}

bool OperatorPanel::admits(OperatorOpenKind kind) const
{
    const OperatorContext current = context();
    if (current.fatal)
        return false;
    switch (kind) {
    case OperatorOpenKind::EscapeKey:
    case OperatorOpenKind::TouchHold: return true;
    case OperatorOpenKind::BackKey: return current.paired && !current.pairingVisible;
    case OperatorOpenKind::SelectKey: return !current.pairingVisible;
    }
    return false;
}

void OperatorPanel::setPaired(bool paired)
{
    if (fallbackContext_.paired == paired)
        return;
    fallbackContext_.paired = paired;
    if (!paired)
        leaveNameEditor(); // the seed stays, should the editor come back
    if (isOpen())
        Q_EMIT changed();
}

void OperatorPanel::setPairingVisible(bool visible)
{
    fallbackContext_.pairingVisible = visible;
}

void OperatorPanel::setFatal(bool fatal)
{
    fallbackContext_.fatal = fatal;
    if (fatal)
        close();
}

void OperatorPanel::setScreenName(const QString& name)
{
    if (fallbackContext_.screenName == name)
        return;
    fallbackContext_.screenName = name;
    if (isOpen())
        Q_EMIT changed();
}

void OperatorPanel::setScreenDetails(const QStringList& details)
{
    if (fallbackContext_.screenDetails == details)
        return;
    fallbackContext_.screenDetails = details;
    if (isOpen())
        Q_EMIT changed();
}

// --- Levels and the owner's operations ---

void OperatorPanel::setHardwareBrightness(bool present)
{
    if (hardwareBrightness_ == present)
        return;
    hardwareBrightness_ = present;
    Q_EMIT changed();
}

void OperatorPanel::setHardwareVolume(bool present)
{
    if (hardwareVolume_ == present)
        return;
    hardwareVolume_ = present;
    Q_EMIT changed();
}

void OperatorPanel::setBrightness(int percent)
{
    if (storeLevel(brightnessPercent_, brightnessPath_, percent))
        Q_EMIT brightnessChanged(brightnessPercent_);
}

void OperatorPanel::setVolume(int percent)
{
    if (storeLevel(volumePercent_, volumePath_, percent))
        Q_EMIT volumeChanged(volumePercent_);
}

bool OperatorPanel::storeLevel(int& level, const QString& path, int percent)
{
    percent = BrightnessPolicy::clampPercent(percent);
    if (percent == level)
        return false;
    level = percent;
    persistPercent(path, percent);
    return true;
}

int OperatorPanel::restoreBrightness()
{
    brightnessPercent_ = loadPercent(brightnessPath_);
    return brightnessPercent_;
}

int OperatorPanel::restoreVolume()
{
    volumePercent_ = loadPercent(volumePath_);
    return volumePercent_;
}

void OperatorPanel::resetFailed()
{
    if (stage_ != OperatorStage::ConfirmReset)
        return;
    status_ = ResetFailedStatus;
    armIdleDismiss();
    Q_EMIT changed();
}

bool OperatorPanel::setPin(const QString& pin)
{
    return pinStore_.setPin(pin);
}

void OperatorPanel::confirm(OperatorConfirmItem item)
{
    if (item == OperatorConfirmItem::Cancel) {
        close();
        return;
    }
    status_ = ResettingStatus;
    Q_EMIT changed();
    Q_EMIT resetConfirmed();
}

void OperatorPanel::markAdjusting(const QString& key)
{
    adjusting_ = key;
    adjustingTimer_.start();
}

void OperatorPanel::armIdleDismiss()
{
    idleTimer_.start();
}

QList<OperatorMenuItem> OperatorPanel::menuItems() const
{
    QList<OperatorMenuItem> items;
    if (context().paired)
        items.append(OperatorMenuItem::Name);
    items.append({OperatorMenuItem::Brightness, OperatorMenuItem::Volume, OperatorMenuItem::Reset,
                  OperatorMenuItem::Exit});
    return items;
}

OperatorMenuItem OperatorPanel::selectedItem() const
{
    return menuItems().contains(selectedItem_) ? selectedItem_ : OperatorMenuItem::Brightness;
}

int OperatorPanel::indexOf(OperatorMenuItem item) const
{
    return std::max(0, int(menuItems().indexOf(item)));
}

int OperatorPanel::rowCount() const
{
    switch (stage_) {
    case OperatorStage::ConfirmReset: return 2;
    case OperatorStage::Menu: return int(menuItems().size());
    default: return 0;
    }
}

bool OperatorPanel::isCenter(int key)
{
    return key == Qt::Key_Space || key == Qt::Key_Select || key == Qt::Key_Return
        || key == Qt::Key_Enter;
}

bool OperatorPanel::isBack(int key)
{
    return key == Qt::Key_Escape || key == Qt::Key_Back;
}

} // namespace talvorine
