#pragma once

// Where the player stands: the phase machine of the content road, the derived runtime phase the
// overlay and the splash judge, and the terminal fatal surfaces with their fixed texts.

#include <QString>

#include <string_view>

namespace talvorine {

// The content road's own phase: 0 before boot, 1 booted without a usable start, 2 fetching or
// preparing, 3 a revision is active, 4 sync failed or offline without content.
class PlayerState {
public:
    void boot(bool ready);
    void candidateFetched(const QString& revision);
    // The activation gate passes its two readiness conditions; false changes nothing.
    bool candidateReady(bool mediaReady, bool rendererReady);
    void syncFailed(const QString& code);
    void networkChanged(bool online);
    void rendererRestarted();

    int phase() const { return phase_; }
    QString activeRevision() const { return activeRevision_; }
    QString candidateRevision() const { return candidateRevision_; }
    QString diagnosticCode() const { return diagnosticCode_; }

private:
    int phase_ = 0;
    QString activeRevision_;
    QString candidateRevision_;
    QString diagnosticCode_;
};

enum class RuntimePhase : int {
    Starting = 0,
    Pairing = 1,
    Candidate = 2,
    Active = 3,
    Degraded = 4,
    Fatal = 5,
};

// The overlay's word for a phase; anything above degraded is "fatal".
QString runtimePhaseText(RuntimePhase phase);

// Everything the runtime phase is derived from, gathered by the controller.
struct RuntimePhaseFacts {
    bool fatal = false;
    bool archived = false;
    bool pairingCodeShown = false;
    bool paymentRequired = false;
    bool candidatePreparing = false;
    bool slotActive = false;
    bool online = false;
    bool deviceCredential = false;
    int statePhase = 0;
    QString status;
};

// First rule that applies wins; the order is the contract.
RuntimePhase runtimePhaseFor(const RuntimePhaseFacts& facts);

// The terminal screens of the player. The first one raised stays for the life of the process.
class FatalSurface {
public:
    enum Code : int {
        None = 0,
        ColourContractMissing = 1,
        StatusContractMissing = 2,
        TypefacesMissing = 3,
        LocalStateUnusable = 4,
    };

    FatalSurface() = delete;

    static bool isFatalCode(int code)
    {
        return code >= ColourContractMissing && code <= LocalStateUnusable;
    }
    // States the overlay or retained playback owns; such a text never becomes a fatal surface.
    static bool isOverlayOrRetainedPlayback(std::string_view text);
    // Texts that could leak a credential or image data onto the glass.
    static bool bodyLooksUnsafe(std::string_view text);
    // The code's own text, empty for none or an unknown code.
    static QString reasonText(int code);
    // What the screen shows: the code's text, or the generic text when it has none or it is unsafe.
    static QString reason(int code);
    // The name of the missing resource, for the "fatal" record.
    static QString logCode(int code);
};

} // namespace talvorine
