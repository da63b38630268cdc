// The camera extension's activator interface: the request, the delegate that
// hears its outcome, and the result and error codes.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace veltrano {

// One activation request: the extension's bundle identifier and the
// extension bundle (folder) it was found in.
struct SystemExtensionRequest {
  std::string identifier;
  std::filesystem::path extensionBundle;

  std::string description() const { return "Activation request for " + identifier; }
};

// What the activator knows about an installed or a new extension.
struct SystemExtensionProperties {
  std::string bundleShortVersion;
};

enum class SystemExtensionReplacementAction { cancel = 0, replace = 1 };

// Completion results of a finished request.
inline constexpr long kSystemExtensionRequestCompleted = 0;
inline constexpr long kSystemExtensionRequestWillCompleteAfterReboot = 1;

// Error codes a failed request carries. The table is complete so that every
// code has its text, but the Linux activator (Linux/SystemdUserUnitActivator)
// produces only 1 (the unit file, the bus or systemd failed, or the start job
// failed or did not end in time), 4 (the camera program is missing or not
// executable), 11 (the delegate declined to replace another version, which
// SystemExtensionRequestManager never does), 12 (a newer request replaced a
// running one) and 13 (systemd refused access); the manager produces none.
enum class SystemExtensionErrorCode : int {
  unknownError = 1,
  missingEntitlement = 2,
  unsupportedParentBundleLocation = 3,
  extensionNotFound = 4,
  extensionMissingIdentifier = 5,
  duplicateExtensionIdentifer = 6,
  unknownExtensionCategory = 7,
  codeSignatureInvalid = 8,
  validationFailed = 9,
  forbiddenBySystemPolicy = 10,
  requestCanceled = 11,
  requestSuperseded = 12,
  authorizationRequired = 13,
};

// The status text of an error code; "unknown code" for codes outside the
// table.
std::string systemExtensionErrorText(long code);

// Receives the outcomes of a submitted request, always on the main thread.
class SystemExtensionRequestDelegate {
 public:
  virtual ~SystemExtensionRequestDelegate() = default;

  virtual SystemExtensionReplacementAction actionForReplacingExtension(const SystemExtensionRequest& request,
                                                                       const SystemExtensionProperties& existing,
                                                                       const SystemExtensionProperties& extension) = 0;
  virtual void requestNeedsUserApproval(const SystemExtensionRequest& request) = 0;
  virtual void requestDidFinishWithResult(const SystemExtensionRequest& request, long result) = 0;
  virtual void requestDidFailWithError(const SystemExtensionRequest& request, long code) = 0;
};

// Activates an extension bundle. Called on the main thread; the delegate is
// held weakly and hears nothing once it is gone.
class SystemExtensionActivator {
 public:
  virtual ~SystemExtensionActivator() = default;

  virtual void submit(SystemExtensionRequest request, std::weak_ptr<SystemExtensionRequestDelegate> delegate) = 0;
  // The user allowed the extension (the banner's button): lift whatever
  // blocks it and carry on with the waiting request.
  virtual void approve() = 0;
};

}  // namespace veltrano
