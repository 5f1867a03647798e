// The values the suite expects, as Windows's documentation gives them (System Error Codes,
// WaitForSingleObject, the SCM's functions, Native Wifi), written out here rather than taken from
// the seam's own definitions, so that a wrong constant there cannot hide behind the same one here.
#pragma once

#include "platform/win_types.h"

namespace conformance::documented {

constexpr DWORD kFileNotFound = 2;
constexpr DWORD kAccessDenied = 5;
constexpr DWORD kInvalidHandle = 6;
constexpr DWORD kNotSupported = 50;
constexpr DWORD kInvalidParameter = 87;
constexpr DWORD kInsufficientBuffer = 122;
constexpr DWORD kModNotFound = 126;
constexpr DWORD kAlreadyExists = 183;
constexpr DWORD kMoreData = 234;
constexpr DWORD kNoMoreItems = 259;
constexpr DWORD kOperationAborted = 995;
constexpr DWORD kInvalidServiceControl = 1052;
constexpr DWORD kServiceDatabaseLocked = 1055;
constexpr DWORD kServiceAlreadyRunning = 1056;
constexpr DWORD kServiceDoesNotExist = 1060;
constexpr DWORD kServiceCannotAcceptCtrl = 1061;
constexpr DWORD kServiceNotActive = 1062;
constexpr DWORD kFailedServiceControllerConnect = 1063;
constexpr DWORD kServiceMarkedForDelete = 1072;
constexpr DWORD kServiceExists = 1073;
constexpr DWORD kNotFound = 1168;

constexpr DWORD kWaitObject0 = 0;
constexpr DWORD kWaitTimeout = 258;
constexpr DWORD kWaitFailed = 0xFFFFFFFF;

// Native Wifi (wlanapi.h): the radio-state opcode, DOT11_RADIO_STATE, and the sizes of the
// structures the service hands over or reads.
constexpr DWORD kWlanIntfOpcodeRadioState = 4;
constexpr DWORD kRadioUnknown = 0;
constexpr DWORD kRadioOn = 1;
constexpr DWORD kRadioOff = 2;
constexpr DWORD kPhyRadioStateBytes = 12;
constexpr DWORD kRadioStateBytes = 772;
constexpr DWORD kInterfaceInfoBytes = 532;

constexpr DWORD kServiceStopped = 1;
constexpr DWORD kServiceStartPending = 2;
constexpr DWORD kServiceStopPending = 3;
constexpr DWORD kServiceRunning = 4;

// Security descriptors (GetNamedSecurityInfoW, SECURITY_DESCRIPTOR_RELATIVE, ACL, ACE_HEADER,
// ACCESS_ALLOWED_ACE) and the file rights Wine derives from a Unix mode: 0777's and 0755's.
constexpr DWORD kSeFileObject = 1;
constexpr DWORD kDaclSecurityInformation = 0x4;
constexpr WORD kSeDaclPresent = 0x0004;
constexpr WORD kSeSelfRelative = 0x8000;
constexpr DWORD kRelativeDescriptorBytes = 20;
constexpr BYTE kAclRevision = 2;
constexpr DWORD kAclHeaderBytes = 8;
constexpr BYTE kAccessAllowedAceType = 0;
constexpr BYTE kObjectAndContainerInherit = 0x3;
constexpr BYTE kEveryoneSid[] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};  // S-1-1-0
constexpr DWORD kOwnerSecurityInformation = 0x1;
constexpr BYTE kAdministratorsSid[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 32, 2, 0, 0};  // -544
constexpr BYTE kUnknownDomainAccountSid[] = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0,    0, 7, 0,
                                             0, 0, 8, 0, 0, 0, 9, 0, 0,  0, 0xE9, 3, 0, 0};
// Tokens, accounts, drives and file attributes (winnt.h, fileapi.h, LookupAccountSidW): the
// pseudo-handle GetCurrentProcessToken() returns, TokenUser, SID_NAME_USE, DRIVE_FIXED.
constexpr LONG_PTR kCurrentProcessToken = -4;
constexpr int kTokenUser = 1;
constexpr DWORD kTokenUserBytes = 16;  // TOKEN_USER on x64: a pointer and a DWORD, padded
constexpr DWORD kNoneMapped = 1332;
constexpr int kSidTypeAlias = 4;
constexpr int kSidTypeWellKnownGroup = 5;
constexpr UINT kDriveFixed = 3;
constexpr DWORD kFileAttributeDirectory = 0x10;
constexpr DWORD kFileAttributeReparsePoint = 0x400;
constexpr DWORD kInvalidFileAttributes = 0xFFFFFFFF;
constexpr DWORD kEveryoneModify = 0x1301FF;
constexpr DWORD kEveryoneReadExecute = 0x1200A9;
// SetDefaultDllDirectories's directory flags (libloaderapi.h) and PROCESS_MITIGATION_POLICY
// (winnt.h) with the flags of its DWORD structures.
constexpr DWORD kLoadLibrarySearchDllLoadDir = 0x100;
constexpr DWORD kLoadLibrarySearchSystem32 = 0x800;
constexpr int kProcessMitigationOptionsMask = 5;
constexpr int kProcessExtensionPointDisablePolicy = 6;
constexpr int kProcessImageLoadPolicy = 10;
constexpr DWORD kDisableExtensionPoints = 0x1;
constexpr DWORD kNoRemoteImages = 0x1;
constexpr DWORD kNoLowMandatoryLabelImages = 0x2;
constexpr DWORD kPreferSystem32Images = 0x4;

}  // namespace conformance::documented
