// The measurement engine: one shared object per process that owns the
// measurement database, the remote configuration, the network component and
// the upload timer, and runs its work on one serial worker queue. The
// facade creates it when a host starts analytics; everything else reaches it
// through sharedInstance().
//
// This header is the engine's whole interface. Its methods live in source
// files by road, one section below per road:
//   QZMMeasurement.cpp                    the instance, its initialisers and class methods
//   QZMMeasurementStartup.cpp             enabling, disabling and the first start of the components
//   QZMMeasurementLifeCycle.cpp           the application's life-cycle notifications
//   QZMMeasurementEventEntry.cpp          events entering from the facade, default parameters, backfill
//   QZMMeasurementEventHandling.cpp       allowlist, sessions, de-duplication and event editing
//   QZMMeasurementEventWriting.cpp        block list, daily limits and the one transaction per event
//   QZMMeasurementUserProperties.cpp      user properties and the user ID
//   QZMMeasurementSessions.cpp            sessions
//   QZMMeasurementStartupReports.cpp      first open, updates, stored campaign, launch session
//   QZMMeasurementReset.cpp               reset, wipe and the session ID
//   QZMMeasurementDeepLinks.cpp           links that open the app, campaigns
//   QZMMeasurementDeferredDeepLink.cpp    the link an install came from
//   QZMMeasurementOnDeviceConversion.cpp  on-device conversion
//   QZMMeasurementUploadSchedule.cpp      when the next upload runs
//   QZMMeasurementUpload.cpp              the upload of batches and its completion
//   QZMMeasurementBundling.cpp            raw events into bundles in the upload queue
//   QZMMeasurementSampling.cpp            event sampling at bundling
//   QZMMeasurementConfigFetch.cpp         the measurement configuration fetch
//   QZMMeasurementPurchases.cpp           purchases from the payment queue
//   QZMMeasurementConversionValues.cpp    the ad network's conversion values
// (QZMMeasurementConsentFields.h holds the bundle's consent fields, plain
// functions shared with the upload.)
// A new road adds its section (methods) before the state block and its state
// at the end of that block, under a comment naming its source file.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/engine/QZMOnDeviceConversionClasses.h"
#include "measurement/engine/QZMPSMContext.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMLogContext.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/model/QZMValue.h"
#include "measurement/model/audience/QZMRawEventData.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/URL.h"
#include "platform/store/StoreKit.h"
#include "platform/utilities/DRKAppDelegateSwizzler.h"
#include "platform/utilities/DRKNetwork.h"

class QZMAlarm;
class QZMAudience;
class QZMAudienceTimestampsCache;
class QZMDailyCounts;
class QZMDatabase;
class QZMEManager;
class QZMEvent;
class QZMIdentity;
class QZMPBSkAdNetworkConversionValueResponse;
class QZMPBEvent;
class QZMPBMeasurementBundle;
class QZMPBOnDeviceMeasurementValue;
class QZMPersistedConfig;
class QZMRawEventData;
class QZMRemoteConfig;
class QZMScheduler;
class QZMSearchAdReporter;
class QZMSessionReporter;
class QZMTCFClient;
class QZMUserAttribute;

// Takes a public event instead of the engine: origin, name, the parameters
// with the screen's added, timestamp.
using QZMLogEventInterceptor = std::function<void(const std::string& origin, const std::string& name,
                                                  const QZMDictionary& parameters, double timestamp)>;
// The session ID, or 0 and an error (code 13).
using QZMSessionIDCompletion =
    std::function<void(std::int64_t sessionID, const std::optional<foundation::Error>& error)>;

inline constexpr const char* kQZMWorkerQueueLabel = "com.dralix.znha.worker";
inline constexpr const char* kQZMDatabaseFileName = "dralix-kestro-meter.sql";
inline constexpr const char* kQZMMeasurementTimerName = "Measurement timer";
// Uploads stop this long (seconds of uptime) after sent bundles could not be
// deleted, so that they are not sent again at once.
inline constexpr double kQZMUploadSuspensionInterval = 3600;
// Posted by the application once it has launched.
inline constexpr const char* kQZMApplicationDidFinishLaunchingNotification =
    "UIApplicationDidFinishLaunchingNotification";
// How far ahead of the clock an event may be stamped when it enters.
inline constexpr double kQZMEventTimeFutureAllowance = 86400;
// Whether an event time (seconds since 1970) can make a bundle: finite, at
// least one millisecond after 1970 and within the messages' millisecond range.
bool QZMIsBundleableEventTime(double seconds);
// Whether an event time may enter the engine at the time now: bundleable and
// at most kQZMEventTimeFutureAllowance ahead (a time in milliseconds would
// otherwise hold every later upload back).
bool QZMIsAcceptableEventTime(double seconds, double now);
// A background task identifier that names no task.
inline constexpr std::uint64_t kQZMBackgroundTaskInvalid = 0;
inline constexpr const char* kQZMBackgroundTaskName = "QZMAnalyticsMeasurementBackgroundTask";

// An ODM value row ("set_timestamp" in seconds, "value") as the metadata
// carries it; nullptr when either is missing.
std::unique_ptr<QZMPBOnDeviceMeasurementValue> QZMOnDeviceMeasurementValueFromODMRow(
    const foundation::Dictionary& row);

class QZMMeasurement : public QZMMeasurementBase,
                       public DRKNetworkLoggerDelegate,
                       public DRKNetworkReachabilityDelegate,
                       public std::enable_shared_from_this<QZMMeasurement> {
 public:
  using SafelistedEvents = std::optional<std::vector<std::string>>;

  // ---- The instance (QZMMeasurement.cpp) ----

  // The first call only, under the global lock: makes the shared instance
  // when the app ID is not empty. Every later call does nothing, even after
  // a first call that was refused.
  static void initializeSharedInstanceWithAppID(const std::string& appID, bool isAnalyticsCollectionEnabled,
                                                bool isAnalyticsCollectionDeactivated,
                                                SafelistedEvents safelistedEvents);
  // nullptr until made; warns when nobody tried to make it although the
  // public API is linked.
  static std::shared_ptr<QZMMeasurement> sharedInstance();
  // The shared engine's remote configuration, else the default one.
  static std::shared_ptr<QZMRemoteConfig> remoteConfig();
  // At process start: subscribes to the launch notification.
  static void load();

  // The engine with its own network, worker queue and timer over the shared
  // persisted settings; nullptr (logged) for an empty app ID.
  static std::shared_ptr<QZMMeasurement> initWithAppID(const std::string& appID, bool isAnalyticsCollectionEnabled,
                                                       bool isAnalyticsCollectionDeactivated,
                                                       SafelistedEvents safelistedEvents,
                                                       std::shared_ptr<QZMEManager> experimentManager);
  // The engine over the given parts. Queues the first enabling or disabling
  // on the worker queue.
  static std::shared_ptr<QZMMeasurement> initWithDatabaseName(
      std::string databaseName, std::shared_ptr<QZMPersistedConfig> persistedConfig,
      std::shared_ptr<DRKNetwork> network, std::shared_ptr<QZMScheduler> scheduler, std::shared_ptr<QZMAlarm> alarm,
      std::string appID, bool isAnalyticsCollectionEnabled, bool isAnalyticsCollectionDeactivated,
      SafelistedEvents safelistedEvents, std::shared_ptr<QZMEManager> experimentManager);
  ~QZMMeasurement() override;

  // Network component callbacks: its log lines go to the monitor.
  void DRKNetwork_logWithLevel(int level, std::int64_t messageCode, const std::string& message) override;
  void DRKNetwork_logWithLevel(int level, std::int64_t messageCode, const std::string& message,
                               const std::vector<QZMLogContext>& contexts);
  // Any thread: reschedules on the worker queue.
  void reachabilityDidChange() override;

  // ---- Enabling and the first start (QZMMeasurementStartup.cpp) ----

  // False when collection is deactivated; otherwise the persisted state
  // decides, and without one the host's option.
  bool shouldEnableMeasurement() const;
  // Any thread: queues setEnabledOnWorkerQueue.
  void setEnabled(bool enabled);
  void setEnabledOnWorkerQueue(bool enabled);
  // Makes the components the first time it succeeds, then runs the steps of
  // every start. A failure leaves no component made by the failed attempt.
  virtual foundation::Status startMeasurementOnWorkerQueue();
  // Whether an earlier reset left data to wipe, or the platform app ID
  // changed since the last run. The first argument is not consulted.
  bool shouldWipeDataWithAppID(const std::optional<std::string>& appID,
                               const std::optional<std::string>& appIDFromDXV,
                               const std::optional<std::string>& persistedAppIDFromDXV) const;
  // Applies the highest-ranking consent known at start (TCF, property list,
  // start options, the host's call) when it outranks the current source.
  virtual void setProspectiveConsentSettings();
  virtual void updatePersistedAppIDFromDXV();
  virtual void tcfClientSetConsentFromData();
  // Whether the process has the remote-config SDK of the family.
  bool isZarnholtRemoteConfigSDKPresent() const;

  // ---- Application life cycle (QZMMeasurementLifeCycle.cpp) ----

  static void subscribeForAppDidFinishLaunchingNotifications();
  // Main thread: the screen-view reporter exists from launch on.
  static void handleAppDidFinishLaunching(const foundation::Notification& notification);
  // Last in the first start: becoming active, resigning and returning to
  // the foreground. The destructor unsubscribes.
  void subscribeForAppForegroundBackgroundNotifications();
  // Main thread: a configuration a week old is fetched again.
  void handleAppDidBecomeActiveEvent(const foundation::Notification& notification);
  // Main thread: settings to disk, background time held, and an upload.
  void handleAppWillResignActiveEvent(const foundation::Notification& notification);
  void handleAppWillEnterForegroundNotification(const foundation::Notification& notification);
  // Any thread: stores the new identifier and ends the task held before.
  void swapBackgroundTaskWithNewTaskID(std::uint64_t taskID);
  // Saves the settings and gives the background time back.
  void terminateBackgroundTask();

  // ---- Normal exit (QZMMeasurementLifeCycle.cpp) ----

  // Once per process, when analytics starts, the engine takes the
  // application's normal exit (returning from main, exit) over. Within one
  // budget of exitWriteTimeLimit seconds it lets the start-up finish, so a
  // launch is handled as the active launch it was; then the application
  // resigns, goes to the background and terminates; then the worker writes
  // what the facade and the engine had accepted. Nothing more is uploaded.
  // The persisted settings and the user-defaults suites are then written to
  // disk on the exiting thread, and the events accepted but not yet written
  // are counted in a log line. Called on the worker queue or the facade's
  // queue (an SDK callback) it does not wait, as it would wait for itself.
  static void registerExitHandling();
  static void finishWritingAtExit();
  // About a second unless set (tests that must not depend on speed).
  static void setExitWriteTimeLimit(double seconds);
  // From the start of a normal exit on: uploads are left for the next run.
  static bool isProcessExiting();
  // Events handed to the engine whose handling has not finished.
  static std::int64_t eventsNotYetHandled();

  // ---- Upload schedule (QZMMeasurementUploadSchedule.cpp) ----

  // Worker queue: arms, keeps or cancels the upload alarm; never uploads.
  void updateSchedule();
  // Seconds since 1970 of the next upload; 0 when none is to be scheduled.
  double nextUploadingTime();
  // While a background task is held and the configuration allows it.
  bool shouldUseBackgroundSession() const;
  // Uploads now when there is something to send and a network, otherwise
  // reschedules.
  void uploadDataOrRegisterAlarm();
  // Seconds since boot; -1 when unknown.
  static double uptime();

  // ---- Upload (QZMMeasurementUpload.cpp) ----

  // Worker queue: bundles pending raw events, then posts one batch of the
  // oldest bundles.
  void uploadData();
  // No request of the engine's is pending and the network posts nothing.
  bool isNetworkReadyForRequest();
  // The leading run of bundles that share the app ID and the device ID
  // (resettable or vendor, never both).
  std::vector<QZMQueuedBundle> filteredBundlesWithCompatibleAppID(const std::string& appID,
                                                                  const std::string& resettableDeviceID,
                                                                  const std::string& vendorDeviceID,
                                                                  const std::vector<QZMQueuedBundle>& bundlesToUpload);
  void setUploadInProgressWithBundleIDs(std::vector<std::int64_t> bundleIDs);
  void networkUploadCompletionHandlerWithResponse(const DRKHTTPURLResponse& response,
                                                  const std::optional<foundation::Error>& error);
  void incrementRetryCounter();
  // Bundles or raw events are stored; false when that cannot be read.
  bool hasDataToUpload();
  bool removeBundlesFromDatabaseWithIDs(const std::vector<std::int64_t>& bundleIDs);

  // ---- Bundling (QZMMeasurementBundling.cpp) ----

  // Worker queue: makes at most one bundle from the oldest raw events, in
  // one transaction; true when raw events were consumed.
  bool bundleRawEvents();
  // The oldest run of the fingerprint's raw events that may share a bundle
  // (one clock hour, consecutive rows, within the event and size limits).
  // Rows that do not decode are reported apart; nullopt when reading fails.
  struct RawEventRun {
    std::vector<QZMRawEventData> events;
    std::vector<std::int64_t> undecodableRowIDs;
  };
  std::optional<RawEventRun> rawEventsWithMetadataFingerprint(std::int64_t fingerprint);
  // The events to bundle, blocked ones left out, with the daily conversion
  // and real-time counts applied; nullopt on failure.
  std::optional<std::vector<std::shared_ptr<QZMEvent>>> processRawEvents(const std::vector<QZMRawEventData>& rawEvents);
  // An allowed reserved public name ("ad_impression") as its internal event.
  QZMRawEventData internalEventFromPublicEvent(const QZMRawEventData& rawEventData);
  // Whether the counts, kept for the given day number, changed.
  bool checkConversion(QZMEvent& event, QZMDailyCounts& dailyCounts, std::int32_t day);
  bool checkRealtime(QZMEvent& event, QZMDailyCounts& dailyCounts, std::int32_t day);
  // Session start and engagement: audience state and the "_lte"/"_se"
  // properties. Its failures end the pass, never the bundling.
  void evaluationTimeFromRawEvents(const std::vector<QZMRawEventData>& rawEvents, QZMPBMeasurementBundle& bundle);
  // Sets the event counters aside when analytics storage becomes denied and
  // brings them back when it is allowed again.
  void handleAnalyticsStorageConsentTransitions(const QZMPBMeasurementBundle& bundle);
  std::optional<std::vector<std::shared_ptr<QZMEvent>>> eventsAfterUpdatingEventAggregates(
      const std::vector<std::shared_ptr<QZMEvent>>& events, QZMAudienceTimestampsCache* audienceTimestampsCache,
      bool allowEventFilterEvaluation);
  // Purchases carry "_ct": "new" until one was bundled, then "returning".
  std::shared_ptr<QZMEvent> purchaseEventWithCustomerTypeParam(const std::shared_ptr<QZMEvent>& event);
  bool updateAppMetadataForBundle(QZMPBMeasurementBundle& bundle, double bundleStartTimestamp,
                                  double bundleEndTimestamp);
  // Adds the engagement time (ms) to "_lte", or "_se" when session-scoped.
  bool updateUserEngagement(std::int64_t engagementTimeMillis, QZMPBMeasurementBundle& bundle, bool sessionScoped);
  void addBundleMetadataIntoBundle(QZMPBMeasurementBundle& bundle, double bundleStartTimestamp,
                                   double bundleEndTimestamp);

  // ---- Sampling (QZMMeasurementSampling.cpp) ----

  bool canEventBeSampled(const QZMPBEvent& event);
  // True with probability 1/rate.
  bool isEventBundledAfterRoll(std::int32_t rate);
  // The events kept, in order; the sampling state of each name is written
  // to its aggregates row.
  foundation::Result<std::vector<std::shared_ptr<QZMPBEvent>>> sampleEvents(
      const std::vector<std::shared_ptr<QZMPBEvent>>& events);

  // ---- Configuration fetch (QZMMeasurementConfigFetch.cpp) ----

  // Worker queue: a conditional GET of the app's configuration.
  void fetchRemoteConfig();
  void networkRemoteConfigFetchCompletionHandler(const DRKHTTPURLResponse& response, const foundation::Data& data,
                                                 const std::optional<foundation::Error>& error);
  // Inside the fetch's transaction: decodes, checks and applies the fetched
  // configuration and its audiences; false rolls all of it back.
  bool storeFetchedConfiguration(const foundation::Data& data);
  // Consent defaults, delegations and regional defaults of the configuration
  // in force.
  void updateConsentSettingsUtilWithRemoteConfig();
  // Worker queue: fetches the configuration when the last fetch lies a week
  // or more away and no request is pending.
  void refreshStaleRemoteConfig();

  // The facade's entry points, one section per road. They are virtual so
  // that a test engine can watch what the facade hands over.

  // ---- Event entry (QZMMeasurementEventEntry.cpp) ----

  // Any thread: queues the event for the worker queue. enabled is the
  // facade's collection state when it was logged; ignoreEnabled and
  // ignoreInterceptor bypass that state and the interceptor.
  virtual void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                  const QZMDictionary& parameters, double timestamp, bool enabled,
                                  bool ignoreEnabled, bool ignoreInterceptor, QZMLogEventInterceptor interceptor,
                                  const QZMDictionary& addedScreenParameters);
  // Adds the default parameters, builds the event and hands it to the
  // interceptor, or to handling with or without the listeners.
  void logEventOnWorkerQueueWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                       const QZMDictionary& parameters, double timestamp, bool enabled,
                                       bool ignoreEnabled, bool ignoreInterceptor,
                                       const QZMLogEventInterceptor& interceptor,
                                       const QZMDictionary& addedScreenParameters);
  // The listeners see the event as it was before handling.
  void logEventOnWorkerQueue(std::unique_ptr<QZMEvent> event, bool notifyEventListeners);
  // Any thread: handles a built event on the worker queue.
  void logEvent(std::unique_ptr<QZMEvent> event);

  // Any thread; nullopt clears them all, a null value removes its key.
  virtual void setDefaultEventParameters(const std::optional<QZMDictionary>& parameters);
  void handleSetDefaultEventParametersOnWorkerQueue(const std::optional<QZMDictionary>& parameters,
                                                    bool backfillEvents);
  // Whether defaults set now belong to the events stored since start: no
  // event of the app's own has been stored in this run.
  bool shouldBackfillEvents();
  using RawEventFilter = std::function<bool(const QZMRawEventData& rawEvent)>;
  // Merges the parameters into the stored raw events the filter accepts
  // (all without one); updates that succeeded stay when others fail.
  void backfillEventsWithParameters(const QZMDictionary& parameters, bool isPublic, const RawEventFilter& eventFilter);
  // The time from which events belong to the session: the first open when
  // one is stored, else 15 s before the session ID's time.
  double backfillStartTimestampForSessionID(const QZMValue& sessionID);
  bool shouldBackfillSessionID(const QZMValue& sessionID, const QZMRawEventData& rawEvent);
  // Gives the events logged just before a session start its ID and number.
  void backfillSessionID(const QZMValue& sessionID, const QZMValue& sessionNumber);
  // The stored defaults overlaid with the parameters (theirs win).
  QZMDictionary parametersWithAddedDefaultEventParameters(const QZMDictionary& parameters);
  // The keychain's count of first opens before this installation's; nullopt
  // when none is kept. A keychain that cannot be read is an error.
  foundation::Result<std::optional<std::string>> previousFirstOpenCount();
  // nullopt deletes the item.
  void setPreviousFirstOpenCount(const std::optional<std::string>& count);

  // ---- Event handling (QZMMeasurementEventHandling.cpp) ----

  // The whole road from a built event to its stored row and the events it
  // triggers or an editing program creates.
  void handleEventOnWorkerQueue(std::unique_ptr<QZMEvent> event);
  // Whether the event's time may enter the engine now; a refused one is
  // logged and must be dropped.
  bool acceptsEventTimeOnWorkerQueue(const QZMEvent& event);
  // The engine's own events: default parameters (none for "_err", no
  // "dxd_" ones for "_cmp"), handling, then the listeners.
  void handleInternalEventOnWorkerQueue(std::unique_ptr<QZMEvent> event);
  // nullptr when an allowlist exists and lacks the name.
  std::unique_ptr<QZMEvent> eventAfterSafelistingEvent(std::unique_ptr<QZMEvent> event);
  // While the app is in the background: "extend_session" and the clean-up
  // of an expired session's properties.
  void processSessionFromEvent(const QZMEvent& event);
  // false drops a subscription event already stored.
  bool dedupeSubscriptionEvent(const QZMEvent& event);
  // true drops a "_ssr" event that repeats the stored feature rollouts.
  bool shouldDropDuplicatedSessionStartWithRolloutEvent(const QZMEvent& event);
  std::unique_ptr<QZMEvent> appExceptionEventWithZarnholtFeatureRollouts(std::unique_ptr<QZMEvent> event);
  void writeSessionStartEventOnWorkerQueue(const QZMEvent& event);
  // The session reporter's; without one a session never expires.
  bool isSessionExpired();
  void extendSession();

  // ---- Event writing (QZMMeasurementEventWriting.cpp) ----

  // The event, then what conditional user properties trigger with it.
  void writeEventOnWorkerQueue(const QZMEvent& event) override;
  void writeEventOnWorkerQueue(std::unique_ptr<QZMEvent> event);
  // Block list, then one transaction: lifetime value, daily counts, the
  // aggregates row of a new name, metadata and raw event, all or nothing.
  void writeFilteredEventOnWorkerQueue(const QZMEvent& event) override;
  void writeFilteredEventOnWorkerQueue(std::unique_ptr<QZMEvent> event);
  // Inside the write transaction; false rolls it back.
  virtual bool updateLifetimeValueWithEvent(const QZMEvent& event);
  // Counts the event into today's counts; false when a daily limit drops it.
  bool shouldProcessEvent(const QZMEvent& event, QZMDailyCounts& dailyCounts, bool isPublicEvent);
  // May take the event's real-time mark away at the day's limits.
  bool isRealtimeEvent(QZMEvent& event, const QZMDailyCounts& dailyCounts);
  void maybeAddDebugAndRealtimeParameters(QZMEvent& event);
  // What an event's metadata takes from the identity, consent and persisted
  // settings, read before the write transaction opens so that nothing in it
  // waits on another queue.
  struct EventContext;
  EventContext eventContextOnWorkerQueue();
  // The app, device and identity context of an event; consent decides the
  // identifiers.
  std::unique_ptr<QZMPBMeasurementBundle> createRawEventMetadataWithUserAttributes(
      const std::vector<QZMUserAttribute>& userAttributes, const EventContext& context);
  // Inside the write transaction; false rolls it back.
  bool writeEvent(const QZMEvent& event, bool isPublicEvent, bool isRealtime, const EventContext& context);
  // Queues "_fx" for a first open that had no advertising ID.
  void logFirstOpenConsentedEvent(double timestamp);

  // ---- User properties (QZMMeasurementUserProperties.cpp) ----

  // Any thread: queued for the worker queue.
  virtual void setUserAttribute(const QZMUserAttribute& attribute);
  virtual void removeUserAttribute(const QZMUserAttribute& attribute);
  // Dropped (logged) while the engine is disabled.
  void setUserAttributeOnWorkerQueue(const QZMUserAttribute& attribute);
  void removeUserAttributeOnWorkerQueue(const QZMUserAttribute& attribute);
  // Stores the property within the limits of its kind and origin; a
  // property that exists may always change.
  bool setUserPropertyInDatabaseOnWorkerQueue(const QZMUserAttribute& attribute);
  // Any thread: answered on the global queue, nullopt when none is stored.
  void userAttributeWithName(const std::string& name,
                             std::function<void(const std::optional<QZMUserAttribute>&)> callback);
  // Any thread: name -> value, answered on the global queue.
  virtual void userPropertiesIncludingInternal(bool includeInternal,
                                               std::function<void(const foundation::Dictionary&)> callback);
  // Any thread: 25 for every origin, answered on the global queue.
  virtual void maxUserPropertiesForOrigin(const std::string& origin, std::function<void(std::int32_t)> callback);
  bool shouldUpdateNPAUserProperty() const { return shouldUpdateNPAUserProperty_.load(); }
  void setShouldUpdateNPAUserProperty(bool value) { shouldUpdateNPAUserProperty_ = value; }
  // 1 when ads must not be personalised, 0 when they may, nullopt when
  // nothing says.
  virtual std::optional<std::int64_t> shouldDisableAdPersonalization();
  bool foundAdPersonalizationPlistFlag() const { return foundAdPersonalizationPlistFlag_.load(); }
  // The Info.plist's switch; on without one.
  static bool shouldAllowAdNetworkRegistration();
  // The ad-personalisation consent follows a "_npa" value unless consent
  // already says the opposite.
  void updateAdPersonalizationConsentFromNPAValue(std::int64_t npaValue);
  void setLastAdvertisingIDResetUserPropertyOnWorkerQueue();
  bool hasUserPropertyUserIDOnWorkerQueue();

  // ---- Sessions (QZMMeasurementSessions.cpp) ----

  virtual void setSessionTimeoutInterval(double seconds);

  // ---- Start-up reports (QZMMeasurementStartupReports.cpp) ----

  // Worker queue, at start and after a reset: the installation's first open
  // with its install facts and engagement, the campaign stored at launch,
  // and the session the launch begins. A failed database step ends the
  // report; the next start tries again.
  void reportFirstOpenOnWorkerQueue();
  // Worker queue: reports the link stored at launch as a campaign and
  // forgets it; an expired one only says that a campaign was there.
  void reportStoredCampaignEventOnWorkerQueue(std::optional<std::int64_t> clickTimestampInMillis);
  // Worker queue: "_s" when the session has expired.
  virtual void reportSessionStartOnWorkerQueueWithTimestamp(double timestamp, bool appInBackground);
  // Any thread: a session start at the load time, on the worker queue.
  void reportSessionStart();
  // Worker queue: a prewarmed launch starts its session when its first scene
  // connects.
  void reportSessionStartWhenSceneWillConnectOnWorkerQueue();
  // Worker queue: "_au" and "_ou" when the app or the OS changed version
  // since the last run.
  void reportAppUpdateOnWorkerQueue();
  void reportOSUpdateOnWorkerQueue();
  // Worker queue: the "_npa" property follows what decides ad
  // personalisation.
  void setPersonalizedAdsUserPropertyOnWorkerQueue();
  // Worker queue: a campaign record from a "_gbraid" property kept from
  // before records existed.
  void updateCachedAdCampaignInfoWithExistingGBRAIDProperty();
  // Worker queue: the session number from the count of "_s" events.
  void backfillSessionNumber();
  // The next whole hour after the time (an exact hour moves on as well).
  static std::int64_t timestampMillisRoundedUpToNextHour(std::int64_t milliseconds);
  // The file system's attributes of the item; nullopt (logged) when they
  // cannot be read.
  static std::optional<foundation::Dictionary> fileAttributesForPath(const std::string& path);

  // ---- Reset, wipe and the session ID (QZMMeasurementReset.cpp) ----

  // Answered once, on the worker queue: the stored "_sid" of a live
  // session, else an error (code 13) that says why not.
  virtual void sessionIDWithCompletion(QZMSessionIDCompletion completion);
  // Waits for the worker queue; never call it from there. Wipes the data and
  // reports a new first open at once; false when the data could not be
  // wiped (the facade tries again at the next start).
  virtual bool resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>& appInstanceID);
  // Worker queue: forgets the persisted settings and every stored event,
  // bundle and property (the database, or before it is open its file). An
  // error means data may remain.
  virtual foundation::Status wipeoutAnalyticsDataAndResetComponents();
  // Worker queue: the first open's time, else the oldest property's; 0
  // (logged) when there is none.
  double firstOpenTimestamp();

  // ---- Links (QZMMeasurementDeepLinks.cpp) ----

  // A launch or opening link may switch the server-side tagging debug mode
  // and its preview headers.
  static void handleKRPXDebugModeWithURL(const std::string& url);
  // The web page a browsing activity continues; nullopt (logged) otherwise.
  static std::optional<std::string> deepLinkFromUserActivity(const DRKUserActivity& activity);
  // Stores the launch link (the activity's before the URL) for the start-up
  // report; the URL may switch the debug mode.
  static void handleStoredURLAfterAppLaunchWithNotification(const foundation::Notification& notification);
  // Never on the worker queue: a link that opens the running app.
  virtual void handleNonFirstOpenEventURL(const std::string& url, double eventTimestampInSeconds);
  // Any thread but the worker queue: measures the link there.
  void handleOpenURL(const std::string& url, std::optional<std::int64_t> clickTimestampInMs,
                     double eventTimestampInSeconds);
  void handleDeepLink(const std::string& url, std::optional<std::int64_t> clickTimestampInMs,
                      double eventTimestampInSeconds);
  // Worker queue: the campaign event of a link (with the extra string and
  // number parameters), its ad campaign record and "_gbraid".
  void handleOpenURLOnWorkerQueue(const std::optional<foundation::URL>& url,
                                  std::optional<std::int64_t> clickTimestampInMs, double eventTimestampInSeconds,
                                  const foundation::Dictionary& extraParameters);
  // The campaign parameters of the link's query over the extra strings:
  // mapped names and "dxd_" keys with non-empty values, click identifiers
  // only when allowed. nullopt (logged) for a link that names no campaign.
  static std::optional<foundation::Dictionary> campaignParametersFromURL(
      const std::optional<foundation::URL>& url, const std::map<std::string, std::string>& extraStrings,
      bool allowClickID);
  static bool isValidCampaignURLParamDictionary(const std::map<std::string, std::string>& params);
  // Click identifiers need the advertising ID or the user's permission to
  // track.
  bool shouldAllowClickID();

  // ---- Deferred deep link (QZMMeasurementDeferredDeepLink.cpp) ----

  // Once per installation, when the app opts in and the user may be
  // tracked; logs why not.
  bool shouldAllowRequestDeferredDeepLink();
  // Worker queue: asks the ad services for the link the install came from.
  void requestDeferredDeepLink();
  // Worker queue: the request asked for after the configuration fetch, if
  // one is due; the fetch's end calls it. False when none was due.
  bool maybeRequestDeferredDeepLinkAfterConfigFetch();
  std::optional<foundation::URL> deferredDeepLinkRequestURL();
  void deferredDeepLinkCompletionHandler(const DRKHTTPURLResponse& response, const foundation::Data& body,
                                         const std::optional<foundation::Error>& error);
  // The answer's object when it holds a valid "deeplink" URL.
  std::optional<foundation::Dictionary> deepLinkInfoFromResponseData(const foundation::Data& data);
  // Hands the link to the app delegate, then measures it.
  void handleDeferredDeepLinkInfo(const foundation::Dictionary& info);
  // Main thread: false when the delegate does not open URLs.
  static bool sendDeepLinkURLToAppDelegateOnMainThread(const foundation::URL& url,
                                                       const std::optional<foundation::Dictionary>& extraInfo);

  // ---- On-device conversion (QZMMeasurementOnDeviceConversion.cpp) ----
  // Two roads: a membership lookup of an identifier the app gives, and the
  // conversion service asked after every configuration fetch. Both keep what
  // they find as an ODM value row, an internal user property and a "_fx"
  // event. Worker queue unless said otherwise.

  // Any thread: one identifier of the user, plain or hashed.
  virtual void setUserData(const foundation::Dictionary& userData);
  void setUserDataOnWorkerQueue(const foundation::Dictionary& userData);
  // Makes a client for the first identifier its guard lets through and sends
  // its lookup.
  void initiateODM1ProtocolWithUserData(const foundation::Dictionary& userData);
  // The membership client class the process offers: the older component's
  // when linked, else the current one's; nullopt when neither is.
  static std::optional<QZMPSMClientClass> PSMClientClass();
  static bool isQZMPrivateSetMembershipClientLinked();
  // Start-up: makes the lookup context when a client class is linked.
  void checkPSMDependencyOnWorkerQueue();
  // The guards, each logging why it refuses.
  bool shouldRetrievePSMResponse();
  bool shouldRetrievePSMResponseWithEmailAddress(const std::string& emailAddress);
  bool shouldRetrievePSMResponseWithPhoneNumber(const std::string& phoneNumber);
  bool shouldRetrievePSMResponseWithHashedIdentifier(const foundation::Data& hashedIdentifier);
  // nullptr when the class lacks the initialiser or refuses the identifier.
  std::shared_ptr<QZMPrivateSetMembershipClient> PSMClientWithEmailAddress(const std::string& emailAddress);
  std::shared_ptr<QZMPrivateSetMembershipClient> PSMClientWithPhoneNumber(const std::string& phoneNumber);
  std::shared_ptr<QZMPrivateSetMembershipClient> PSMClientWithHashedEmailAddress(const foundation::Data& digest);
  std::shared_ptr<QZMPrivateSetMembershipClient> PSMClientWithHashedPhoneNumber(const foundation::Data& digest);
  // The held client's lookup URL with the lookup count, the first-open
  // minute and, in debug runs, the debug key; nullopt without one.
  std::optional<std::string> PSMRequestURL();
  // Sends the held client's lookup, or marks it postponed while another
  // request of the engine is pending.
  void retrievePSMResponse();
  // After a failed lookup: retries with a doubling interval until the limit.
  void maybeSchedulePSMRetry();
  void handlePSMValueOnWorkerQueue(const std::string& value, bool isSessionValue);
  void incrementPSMCountOnWorkerQueueWithName(const std::string& name);
  // Start-up: forgets a match kept 90 days, and restores the row of a match
  // whose property outlived it.
  void maybeDeleteExpiredPSMValueOnWorkerQueue();

  static bool isAdsOnDeviceConversionLinked();
  // The conversion service's shared instance; nullptr when the class is
  // missing or its instance does not serve the protocol.
  static std::shared_ptr<ODCConversionServiceProtocol> conversionServiceFromReflection();
  // Which generation of the service is linked, by its version number.
  bool isAlphaAppAdsOnDeviceConversionLinked();
  bool isDralixAdsOnDeviceConversionLinked();
  // Linked, switched on remotely and ad storage allowed (each refusal logged).
  bool isAdsOnDeviceConversionEnabled();
  // The persisted first open; nullopt when none was recorded.
  std::optional<foundation::Date> firstLaunchDate();
  // Start-up: logs which components are linked.
  void checkODM2DependencyOnWorkerQueue();
  // After every configuration fetch: asks the service for the measurement
  // info, or clears what it gave when it is off or missing.
  void updateAdsOnDeviceConversionMeasurement();
  void handleAdsOnDeviceConversionValue(const std::optional<std::string>& value,
                                        const std::optional<foundation::Error>& error);
  // Worker queue; nullptr while no client class is linked.
  const std::shared_ptr<QZMPSMContext>& ODM1Context() const { return ODM1Context_; }
  // A wipe starts the run's lookups afresh with a new context.
  void setODM1Context(std::shared_ptr<QZMPSMContext> context) { ODM1Context_ = std::move(context); }
  // Worker queue: the service found by the last configuration fetch.
  const std::shared_ptr<ODCConversionServiceProtocol>& conversionService() const { return conversionService_; }
  void setConversionService(std::shared_ptr<ODCConversionServiceProtocol> service) {
    conversionService_ = std::move(service);
  }


  // ---- Purchases (QZMMeasurementPurchases.cpp) ----

  // Any thread: the purchased transactions not seen before, in their order,
  // answered on the global queue; a purchase that cannot be checked is kept.
  // Nothing is answered once the engine is gone.
  virtual void filterPurchaseTransactions(store::SKPaymentTransactions transactions,
                                          std::function<void(store::SKPaymentTransactions)> callback);

  // ---- Conversion values (QZMMeasurementConversionValues.cpp) ----
  // Worker queue, every method of this section.

  // The ad network's version this system speaks ("4.0", ..., "0").
  std::string SKANVersion() const;
  // Up to two days after the first open, inclusive.
  bool isInFirstSKANPostbackWindow();
  // More than 35 days after the first open.
  bool isPastAllSKANPostbackWindows();
  static bool isValidFineConversionValue(std::int64_t value);
  // 3 high, 2 medium, anything else low.
  static store::SKAdNetworkCoarseConversionValue convertCoarseConversionValueFromProtoValue(std::int64_t value);
  // 1 while the service asked for a pause, else the window's limit.
  std::int32_t SKANFetchRetryLimit();
  bool shouldFetchSKANConversionValue();
  // After a successful upload: a fetch after the window's delay.
  void scheduleSKANCVFetchAfterDataUpload();
  // Asks the service which conversion value to report, when nothing else
  // holds the request slot.
  void fetchSKANCV();
  void handleSKANFetchResponse(const DRKHTTPURLResponse& response, const foundation::Data& data,
                               const std::optional<foundation::Error>& error);
  void updateSKANPostbackConversionValueFromResponse(
      std::shared_ptr<const QZMPBSkAdNetworkConversionValueResponse> response);
  // The ad network took the value (or refused it): "_skan" or a log line.
  void handleSKANUpdatePostbackCompletion(const QZMPBSkAdNetworkConversionValueResponse& response,
                                          const std::optional<foundation::Error>& error);
  void maybeScheduleSKANCVFetchRetry();
  void stopProcessingSKANResponseAndResetRetryCount();
  void maybeFetchSKANCVAfterReachabilityChange();
  bool isSKANRequestInProgress() const { return isSKANRequestInProgress_.load(); }
  bool fetchSKANWhenNetworkConnected() const { return fetchSKANWhenNetworkConnected_.load(); }
  std::int32_t SKANRetryCount() const { return SKANRetryCount_.load(); }
  void setSKANRetryCount(std::int32_t count) { SKANRetryCount_ = count; }
  // nullptr until first used.
  std::shared_ptr<QZMAlarm> SKANRetryAlarm() const;
  std::shared_ptr<QZMAlarm> SKANDelayAlarm() const;

  // ---- Readable state ----

  bool isEnabled() const override { return enabled_.load(); }
  std::shared_ptr<QZMScheduler> scheduler() const override { return scheduler_; }
  std::shared_ptr<QZMPersistedConfig> persistedConfig() const override { return persistedConfig_; }
  // nullptr until the components are made.
  std::shared_ptr<QZMRemoteConfig> remoteConfigInstance() const override;
  std::shared_ptr<QZMIdentity> identity() const override;
  std::shared_ptr<QZMDatabase> database() const;
  std::shared_ptr<QZMTCFClient> tcfClient() const;
  // nullptr until the components are made. A reset replaces it; callers
  // keep the one they were given alive.
  std::shared_ptr<QZMSessionReporter> sessionReporter() const;
  void setSessionReporter(std::shared_ptr<QZMSessionReporter> sessionReporter);
  // nullptr until the components are made, and when the search-ad answer
  // is known or no attempt is left.
  std::shared_ptr<QZMSearchAdReporter> searchAdReporter() const;
  std::uint64_t backgroundUpdateTask() const { return backgroundUpdateTask_.load(); }
  const std::shared_ptr<QZMAlarm>& alarm() const { return alarm_; }
  const std::shared_ptr<DRKNetwork>& network() const { return network_; }
  const std::shared_ptr<QZMEManager>& experimentManager() const { return experimentManager_; }
  const SafelistedEvents& safelistedEvents() const { return safelistedEvents_; }
  const std::string& databaseName() const { return databaseName_; }
  const std::string& appID() const { return appID_; }
  // Load time of the analytics code: the time of the first-open and launch
  // events, kept until the first open is reported.
  double initTimestamp() const { return initTimestamp_.load(); }
  bool wasEnabledDuringInitialization() const { return wasEnabledDuringInitialization_; }
  bool didInitializeComponents() const { return didInitializeComponents_.load(); }
  bool isAnalyticsCollectionEnabled() const { return isAnalyticsCollectionEnabled_.load(); }
  void setAnalyticsCollectionEnabled(bool enabled) { isAnalyticsCollectionEnabled_ = enabled; }
  bool isAnalyticsCollectionDeactivated() const { return isAnalyticsCollectionDeactivated_.load(); }
  void setAnalyticsCollectionDeactivated(bool deactivated) { isAnalyticsCollectionDeactivated_ = deactivated; }
  std::shared_ptr<QZMAudience> audience() const;
  // An upload, configuration fetch or other request of the engine is in flight.
  bool isNetworkRequestPending() const { return isNetworkRequestPending_.load(); }
  void setNetworkRequestPending(bool pending) { isNetworkRequestPending_ = pending; }
  // Worker queue, as the upload state below.
  double suspendedUploadTimestamp() const { return suspendedUploadTimestamp_; }
  void setSuspendedUploadTimestamp(double uptime) { suspendedUploadTimestamp_ = uptime; }
  std::int64_t lastEventEndTimestampMsec() const { return lastEventEndTimestampMsec_; }
  const std::vector<std::int64_t>& uploadingBundleIDs() const { return uploadingBundleIDs_; }

 protected:
  QZMMeasurement(std::string databaseName, std::shared_ptr<QZMPersistedConfig> persistedConfig,
                 std::shared_ptr<DRKNetwork> network, std::shared_ptr<QZMScheduler> scheduler,
                 std::shared_ptr<QZMAlarm> alarm, std::string appID, bool isAnalyticsCollectionEnabled,
                 bool isAnalyticsCollectionDeactivated, SafelistedEvents safelistedEvents,
                 std::shared_ptr<QZMEManager> experimentManager);
  // What needs the engine to be owned: queues the first enabling.
  void finishInitialization();

  // The components the first start makes, in order; an engine for tests may
  // watch or fail them.
  virtual std::shared_ptr<QZMIdentity> makeIdentity();
  virtual foundation::Result<std::shared_ptr<QZMDatabase>> makeDatabase();
  virtual foundation::Result<std::shared_ptr<QZMRemoteConfig>> makeRemoteConfig();
  // The audience evaluator over the database, under the configuration's
  // limits.
  virtual foundation::Status makeAudience();
  virtual std::shared_ptr<QZMTCFClient> makeTCFClient();

 private:
  // The first start's components, in their fixed order.
  foundation::Status initializeComponentsOnWorkerQueue();
  // Forgets the components of a first start that failed.
  void dropComponents();
  // The engine's own configuration once made, else the defaults.
  std::shared_ptr<QZMRemoteConfig> remoteConfigOrDefault() const;
  static std::optional<std::string> deepLinkFromUserActivity(const DRKUserActivity* activity);

  // ---- State: the instance and its first start ----
  const std::string databaseName_;
  const std::shared_ptr<QZMPersistedConfig> persistedConfig_;
  const std::shared_ptr<DRKNetwork> network_;
  const std::shared_ptr<QZMScheduler> scheduler_;
  const std::shared_ptr<QZMAlarm> alarm_;
  const std::string appID_;
  const SafelistedEvents safelistedEvents_;
  const std::shared_ptr<QZMEManager> experimentManager_;
  // A reset moves it on the worker queue; other queues read it.
  std::atomic<double> initTimestamp_{0};
  std::atomic<bool> isAnalyticsCollectionEnabled_;
  std::atomic<bool> isAnalyticsCollectionDeactivated_;
  std::atomic<bool> enabled_{false};
  bool wasEnabledDuringInitialization_ = false;
  // Held while the components are made; the flag turns once they all are.
  std::mutex initializeComponentsLock_;
  std::atomic<bool> didInitializeComponents_{false};
  // Guards the component pointers, which other queues read.
  mutable std::mutex componentsMutex_;
  std::shared_ptr<QZMIdentity> identity_;
  std::shared_ptr<QZMDatabase> database_;
  std::shared_ptr<QZMRemoteConfig> remoteConfig_;
  std::shared_ptr<QZMAudience> audience_;
  std::shared_ptr<QZMTCFClient> tcfClient_;
  std::shared_ptr<QZMSessionReporter> sessionReporter_;
  std::shared_ptr<QZMSearchAdReporter> searchAdReporter_;

  // ---- State: user properties (QZMMeasurementUserProperties.cpp) ----
  // Set when ad personalisation changed (for one, by the configuration's
  // consent defaults), so that the "_npa" property is written again.
  std::atomic<bool> shouldUpdateNPAUserProperty_{false};
  std::atomic<bool> foundAdPersonalizationPlistFlag_{false};

  // ---- State: life cycle (QZMMeasurementLifeCycle.cpp) ----
  std::atomic<std::uint64_t> backgroundUpdateTask_{kQZMBackgroundTaskInvalid};
  std::mutex lifeCycleObserversMutex_;
  std::vector<foundation::NotificationCenter::Token> lifeCycleObservers_;

  // ---- State: upload schedule and upload (QZMMeasurementUploadSchedule.cpp, QZMMeasurementUpload.cpp) ----
  std::atomic<bool> isNetworkRequestPending_{false};
  // The rest on the worker queue only.
  std::vector<std::int64_t> uploadingBundleIDs_;
  // The latest event end time of the bundles the server accepted, and that
  // of the batch in flight.
  std::int64_t lastEventEndTimestampMsec_ = 0;
  std::int64_t uploadingEventEndTimestampMsec_ = 0;
  // Uptime at which uploads were suspended; 0 when they are not.
  double suspendedUploadTimestamp_ = 0;

  // ---- State: start-up reports, reset and links (QZMMeasurementStartupReports.cpp,
  // QZMMeasurementReset.cpp, QZMMeasurementDeferredDeepLink.cpp) ----
  // The platform app ID before the last wipe; worker queue only, sent once
  // with the next first open.
  std::optional<std::string> previousDXVAppID_;
  std::atomic<bool> shouldRequestDeferredDeepLinkAfterConfigFetch_{false};

  // ---- State: conversion values (QZMMeasurementConversionValues.cpp) ----
  std::atomic<bool> isSKANRequestInProgress_{false};
  std::atomic<bool> fetchSKANWhenNetworkConnected_{false};
  std::atomic<std::int32_t> SKANRetryCount_{0};
  // Made on first use on the worker queue; read by tests elsewhere.
  mutable std::mutex SKANAlarmsMutex_;
  std::shared_ptr<QZMAlarm> SKANRetryAlarm_;
  std::shared_ptr<QZMAlarm> SKANDelayAlarm_;

  // ---- State: on-device conversion (QZMMeasurementOnDeviceConversion.cpp) ----
  // Worker queue only.
  std::shared_ptr<QZMPSMContext> ODM1Context_;
  std::shared_ptr<ODCConversionServiceProtocol> conversionService_;

  // Ends a membership lookup: counts it and keeps a match.
  void handlePSMResponse(const std::shared_ptr<QZMPSMContext>& context,
                         const std::shared_ptr<QZMPrivateSetMembershipClient>& client, const std::string& countName,
                         bool isSessionValue, const DRKHTTPURLResponse& response, const foundation::Data& body,
                         const std::optional<foundation::Error>& error);
};

// Deletes the bundled raw-event rows, then the metadata once no raw event
// refers to it; false after a logged failure.
bool QZMDeleteBundledRawEvents(QZMDatabase& database, const std::vector<std::int64_t>& rowIDs,
                               std::int64_t metadataFingerprint);
