#pragma once

#include <QHash>
#include <QObject>
#include <QQueue>
#include <QSet>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

class QJsonArray;
class QQmlComponent;
class QQuickItem;

namespace talvorine {

// The native side of one web placement's channel to its page: what a title asks for, what a
// console message says went wrong, what the handshake probe has still to record, and which of
// the controller's answers belong to this placement. The QML component (WebPlacement.qml)
// carries out the effects; the decisions are here, where they can be tested as tables.
//
// Answers are matched by whole key. The controller names a forwarded request
// "<generation>_<primitive id>_<message id>", and both ids may contain "_": the key of
// primitive "hero_x" begins with the prefix of primitive "hero". So an answer is delivered
// only when its key is this placement's prefix followed by a message id that this placement
// forwarded and has not yet seen answered, and then only once.
class WebPlacementChannel : public QObject {
    Q_OBJECT
public:
    enum class TitleAction { None, Prepared, Ready, Advance, Logs, Events, KvRequests, Error };

    struct ConsoleFailure {
        QString stage;
        int errorCode = 0;
    };

    // What one reading of the wrapper's diagnostics adds to the developer log, and where the
    // probe stands afterwards.
    struct ProbeState {
        int loggedStages = 0;
        int droppedLogged = 0;
        bool wrapperMissingLogged = false;
    };
    struct HandshakeRecord {
        QString stage;
        QString origin;
    };
    struct ProbeStep {
        QList<HandshakeRecord> records;
        ProbeState state;
        bool stop = false;
        // The wrapper stands at "ready": its title may have been overwritten by a later one.
        bool ready = false;
    };

    // Forwarded requests kept for their answers; a page that never hears back (the controller
    // dropped it, the application reloaded) cannot grow the memory past this.
    static constexpr int maxRememberedRequests = 1024;
    static constexpr int probeRecordLimit = 90;
    // Console messages of one kind recorded one by one; later ones are only counted, for a
    // summary at most once a minute (WebPlacement.qml): a page that logs every frame must not
    // fill the board's flash.
    static constexpr int keptConsoleMessages = 10;

    explicit WebPlacementChannel(QObject* parent = nullptr);

    static TitleAction titleAction(const QString& title);
    static ConsoleFailure consoleFailure(const QString& message, int lineNumber);
    // The probe has recorded enough: more than the limit of history entries and drops.
    static bool probeExhausted(const ProbeState& state);
    // answer: the JSON text of diagnostics(), "null" when the wrapper's global object is gone.
    static ProbeStep probeStep(const QString& answer, const ProbeState& state);
    // "<generation>_<primitive id>_" of the application context, as the controller joins it.
    static QString answerPrefix(const QVariantMap& applicationContext);

    // For QML: the title action as a word ("" for none), console failures and probe steps as
    // maps, the wrapper's queues parsed from their JSON text.
    Q_INVOKABLE QString actionForTitle(const QString& title) const;
    // A console message's failure class ({stage, errorCode}) and whether it is recorded on its
    // own ("record"); one that is not is counted for the next summary.
    Q_INVOKABLE QVariantMap admitConsoleMessage(const QString& message, int lineNumber);
    // The counts by stage since the last summary, empty when there were none; counting starts
    // afresh.
    Q_INVOKABLE QVariantMap takeConsoleRepeats();
    // True the first time the page asked for a dialog of this kind: each refusal is recorded
    // once per placement.
    Q_INVOKABLE bool firstRefusal(const QString& stage);
    Q_INVOKABLE bool probeDone(int loggedStages, int droppedLogged) const;
    Q_INVOKABLE QVariantMap readProbe(const QString& answer, int loggedStages, int droppedLogged,
                                      bool wrapperMissingLogged) const;
    // json: {"logs": [...], "events": [...], "kv": [...]}, the three queues taken at once.
    // Returns the same members as lists of maps; events and key-value requests are remembered
    // for their answers as they are taken.
    Q_INVOKABLE QVariantMap takeQueues(const QString& json);
    // The message id to hand to the wrapper when the answer is this placement's, else "".
    Q_INVOKABLE QString claimEventAnswer(const QString& requestId,
                                         const QVariantMap& applicationContext);
    Q_INVOKABLE QString claimKvAnswer(const QString& requestId,
                                      const QVariantMap& applicationContext);
    // A new wrapper document: nothing forwarded before can be answered into it.
    Q_INVOKABLE void forgetRequests();

    // Creates the placement's view in the engine's root context, a child of holder. A view made
    // in the placement's own context would lose its engine as soon as the stage retires the
    // placement, while the object itself waits for deferred deletion: a page's answer to a
    // script arriving in between is handed to no engine at all and ends the process (Qt 6.4).
    // The component must therefore refer to nothing outside itself.
    Q_INVOKABLE QObject* createView(QQmlComponent* component, QQuickItem* holder,
                                    const QVariantMap& properties);

    static void registerQmlType();

private:
    enum class RequestKind { Event, Kv };
    QVariantList take(const QJsonArray& items, RequestKind kind);
    void remember(const QString& messageId, RequestKind kind);
    QString claim(const QString& requestId, const QVariantMap& applicationContext,
                  RequestKind kind);

    QHash<QString, RequestKind> awaiting_;
    QQueue<QString> order_;
    QHash<QString, int> consoleSeen_;
    QVariantMap consoleRepeats_;
    QSet<QString> refusals_;
};

} // namespace talvorine
