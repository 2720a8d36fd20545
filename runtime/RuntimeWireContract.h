#pragma once

// Every name the runtime service and this player must agree on, in one place: routes, header
// and authorisation scheme names, event type names and reply members. A change of the service's
// wire contract is one edit here; the transport and the test service both read this table.

namespace talvorine::RuntimeWire {

// Routes, relative to the service origin.
inline constexpr char identityChallengeRoute[] = "/runtime/v1/native/identity/challenges";
inline constexpr char pairingStartRoute[] = "/runtime/v1/native/pairing-sessions";
inline constexpr char pairingEventsRoute[] = "/runtime/v1/native/pairing-events";
inline constexpr char pairingCompleteRoute[] = "/runtime/v1/native/pairing-sessions/complete";
inline constexpr char sessionMintRoute[] = "/runtime/v1/native/sessions";
inline constexpr char identityResetRoute[] = "/runtime/v1/native/identity/reset";
inline constexpr char eventsRoute[] = "/runtime/v1/events";
inline constexpr char manifestRoute[] = "/runtime/v1/manifest";
inline constexpr char manifestV2Route[] = "/runtime/v2/manifest";
inline constexpr char reportsRoute[] = "/runtime/v1/reports";
inline constexpr char storageRoute[] = "/runtime/v1/storage";
inline constexpr char observationRoute[] = "/runtime/v1/observation";
inline constexpr char screenLabelRoute[] = "/runtime/v1/screen-label";
inline constexpr char screenshotRoute[] = "/runtime/v1/screenshot";
inline constexpr char eventsCursorQuery[] = "cursor";
inline constexpr char adResolveRoute[] = "/runtime/v1/adslots/resolve";
inline constexpr char adEventsRoute[] = "/runtime/v1/adslots/events";
inline constexpr char adContentPrefix[] = "/content/v1/ad-decisions/";

// Headers and authorisation schemes.
inline constexpr char sessionScheme[] = "Talvorine-Session ";
inline constexpr char pairingScheme[] = "Talvorine-Pairing ";
inline constexpr char idempotencyKeyHeader[] = "Idempotency-Key";
inline constexpr char ifNoneMatchHeader[] = "If-None-Match";
inline constexpr char entityTagHeader[] = "ETag";
inline constexpr char lastEventIdHeader[] = "Last-Event-ID";
inline constexpr char captureIdHeader[] = "Talvorine-Capture-Id";
inline constexpr char captureFailureHeader[] = "Talvorine-Capture-Failure";
inline constexpr char captureUnsupported[] = "unsupported_surface";
inline constexpr char captureFailed[] = "capture_failed";
inline constexpr char eventStreamType[] = "text/event-stream";
inline constexpr char jsonType[] = "application/json";
inline constexpr char webpType[] = "image/webp";

// Identity challenge: request and reply members.
inline constexpr char kidMember[] = "kid";
inline constexpr char opMember[] = "op";
inline constexpr char requestHashMember[] = "request_hash";
inline constexpr char publicKeyMember[] = "public_key";
inline constexpr char nonceMember[] = "nonce";
inline constexpr char expiresAtMember[] = "expires_at";
inline constexpr char serverTimeMember[] = "server_time";
inline constexpr char proofMember[] = "proof";

// Pairing and session request and reply members.
inline constexpr char hostMember[] = "host";
inline constexpr char playerMember[] = "player";
inline constexpr char playerKindMember[] = "kind";
inline constexpr char playerKind[] = "qt";
inline constexpr char playerVersionMember[] = "version";
inline constexpr char playerRevisionMember[] = "revision";
inline constexpr char pairingCodeMember[] = "code";
inline constexpr char pairingCredentialMember[] = "pairing_credential";
inline constexpr char screenLabelMember[] = "screen_label";
inline constexpr char deviceCredentialMember[] = "device_credential";
inline constexpr char sessionMember[] = "session";
inline constexpr char capabilitiesMember[] = "capabilities";
inline constexpr char manifestVersionsMember[] = "manifest_versions";
inline constexpr char eventCursorMember[] = "event_cursor";
inline constexpr char creditsRemainingMember[] = "credits_remaining";
inline constexpr char compatibilityMember[] = "compatibility";
inline constexpr char recommendedMember[] = "recommended";
inline constexpr char compatibilityKindMember[] = "player_kind";
inline constexpr char minSupportedMember[] = "min_supported";
inline constexpr char labelMember[] = "label";
inline constexpr char problemCodeMember[] = "code";
inline constexpr char routeUnavailableCode[] = "route_unavailable";

// Event stream: the event object and its type names.
inline constexpr char eventTypeMember[] = "type";
inline constexpr char eventDetailsMember[] = "details";
inline constexpr char pairingClaimedEvent[] = "pairing.claimed";
inline constexpr char manifestChangedEvent[] = "screen.manifest_changed";
inline constexpr char contentChangedEvent[] = "screen.content_changed";
inline constexpr char screenshotRequestedEvent[] = "screen.screenshot_requested";
inline constexpr char toastEvent[] = "screen.toast";
inline constexpr char reloadEvent[] = "player.reload";
inline constexpr char problemEvent[] = "problem";
inline constexpr char resyncRequiredEvent[] = "stream.resync_required";
inline constexpr char projectResumedEvent[] = "project.resumed";
inline constexpr char screenArchivedEvent[] = "screen.archived";
inline constexpr char screenUnarchivedEvent[] = "screen.unarchived";
inline constexpr char screenDeletedEvent[] = "screen.deleted";
inline constexpr char credentialRevokedEvent[] = "device.credential_revoked";
inline constexpr char creditsChangedEvent[] = "project.credits_changed";
inline constexpr char manifestRevisionMember[] = "manifest_revision";
inline constexpr char cursorMember[] = "cursor";
inline constexpr char actionMember[] = "action";
inline constexpr char remainingMember[] = "remaining";

// Reports.
inline constexpr char reportKindMember[] = "kind";
inline constexpr char conditionKind[] = "condition";
inline constexpr char activationKind[] = "activation";
inline constexpr char severityMember[] = "severity";
inline constexpr char contextMember[] = "context";
inline constexpr char occurredAtMember[] = "occurred_at";

// Ad slots: the resolve request and the events report (their replies are read by the ad
// contracts).
inline constexpr char candidatesMember[] = "candidates";
inline constexpr char pageIdMember[] = "page_id";
inline constexpr char occurrenceIdMember[] = "occurrence_id";
inline constexpr char checkSequenceMember[] = "check_sequence";
inline constexpr char earliestStartAtMember[] = "earliest_start_at";
inline constexpr char adEventsMember[] = "events";
inline constexpr char eventIdMember[] = "event_id";
inline constexpr char decisionIdMember[] = "decision_id";
inline constexpr char adEventKindMember[] = "kind";
inline constexpr char clientSequenceMember[] = "client_sequence";
inline constexpr char durationMsMember[] = "duration_ms";
inline constexpr char startedAtMember[] = "started_at";
inline constexpr char endedAtMember[] = "ended_at";

// Environment variables that bound how long a quiet stream is trusted.
inline constexpr char runtimeStreamStallEnv[] = "TALVORINE_RUNTIME_STREAM_STALL_MS";
inline constexpr char pairingStreamStallEnv[] = "TALVORINE_PAIRING_STREAM_STALL_MS";

} // namespace talvorine::RuntimeWire
