// SPDX-License-Identifier: MIT
// The TWAIN 2.4 types, records and constants the data source uses: records
// packed to 2 bytes, TW_HANDLE a Windows handle, TW_UINTPTR pointer-sized
// (64-bit and 32-bit builds alike).
// Every record's size and offsets are checked below, for both builds.
#pragma once

#include <cstddef>
#include <cstdint>

#include <windows.h>

namespace torvane::twain {

using TW_INT8 = char;
using TW_INT16 = int16_t;
using TW_INT32 = int32_t;
using TW_UINT8 = uint8_t;
using TW_UINT16 = uint16_t;
using TW_UINT32 = uint32_t;
using TW_BOOL = uint16_t;
using TW_HANDLE = HANDLE;
using TW_MEMREF = void *;
using TW_UINTPTR = UINT_PTR;
using TW_STR32 = char[34];
using TW_STR64 = char[66];
using TW_STR128 = char[130];
using TW_STR255 = char[256];

#pragma pack(push, 2)

struct TW_FIX32 {
	TW_INT16 Whole;
	TW_UINT16 Frac;
};

struct TW_FRAME {
	TW_FIX32 Left;
	TW_FIX32 Top;
	TW_FIX32 Right;
	TW_FIX32 Bottom;
};

struct TW_VERSION {
	TW_UINT16 MajorNum;
	TW_UINT16 MinorNum;
	TW_UINT16 Language;
	TW_UINT16 Country;
	TW_STR32 Info;
};

struct TW_IDENTITY {
	TW_UINT32 Id;
	TW_VERSION Version;
	TW_UINT16 ProtocolMajor;
	TW_UINT16 ProtocolMinor;
	TW_UINT32 SupportedGroups;
	TW_STR32 Manufacturer;
	TW_STR32 ProductFamily;
	TW_STR32 ProductName;
};

struct TW_CAPABILITY {
	TW_UINT16 Cap;
	TW_UINT16 ConType;
	TW_HANDLE hContainer;
};

struct TW_ONEVALUE {
	TW_UINT16 ItemType;
	TW_UINT32 Item;
};

struct TW_ENUMERATION {
	TW_UINT16 ItemType;
	TW_UINT32 NumItems;
	TW_UINT32 CurrentIndex;
	TW_UINT32 DefaultIndex;
	TW_UINT8 ItemList[1];
};

struct TW_ARRAY {
	TW_UINT16 ItemType;
	TW_UINT32 NumItems;
	TW_UINT8 ItemList[1];
};

struct TW_RANGE {
	TW_UINT16 ItemType;
	TW_UINT32 MinValue;
	TW_UINT32 MaxValue;
	TW_UINT32 StepSize;
	TW_UINT32 DefaultValue;
	TW_UINT32 CurrentValue;
};

struct TW_USERINTERFACE {
	TW_BOOL ShowUI;
	TW_BOOL ModalUI;
	TW_HANDLE hParent;
};

struct TW_PENDINGXFERS {
	TW_UINT16 Count;
	TW_UINT32 EOJ;
};

struct TW_STATUS {
	TW_UINT16 ConditionCode;
	TW_UINT16 Data;
};

// DAT_DEVICEEVENT: what happened to the device (CAP_DEVICEEVENT's events).
struct TW_DEVICEEVENT {
	TW_UINT32 Event;
	TW_STR255 DeviceName;
	TW_UINT32 BatteryMinutes;
	TW_INT16 BatteryPercentage;
	TW_INT32 PowerSupply;
	TW_FIX32 XResolution;
	TW_FIX32 YResolution;
	TW_UINT32 FlashUsed2;
	TW_UINT32 AutomaticCapture;
	TW_UINT32 TimeBeforeFirstCapture;
	TW_UINT32 TimeBetweenCaptures;
};

struct TW_STATUSUTF8 {
	TW_STATUS Status;
	TW_UINT32 Size;
	TW_HANDLE UTF8string;
};

struct TW_EVENT {
	TW_MEMREF pEvent;
	TW_UINT16 TWMessage;
};

struct TW_SETUPMEMXFER {
	TW_UINT32 MinBufSize;
	TW_UINT32 MaxBufSize;
	TW_UINT32 Preferred;
};

struct TW_MEMORY {
	TW_UINT32 Flags;
	TW_UINT32 Length;
	TW_MEMREF TheMem;
};

struct TW_IMAGEMEMXFER {
	TW_UINT16 Compression;
	TW_UINT32 BytesPerRow;
	TW_UINT32 Columns;
	TW_UINT32 Rows;
	TW_UINT32 XOffset;
	TW_UINT32 YOffset;
	TW_UINT32 BytesWritten;
	TW_MEMORY Memory;
};

struct TW_IMAGEINFO {
	TW_FIX32 XResolution;
	TW_FIX32 YResolution;
	TW_INT32 ImageWidth;
	TW_INT32 ImageLength;
	TW_INT16 SamplesPerPixel;
	TW_INT16 BitsPerSample[8];
	TW_INT16 BitsPerPixel;
	TW_BOOL Planar;
	TW_INT16 PixelType;
	TW_UINT16 Compression;
};

struct TW_IMAGELAYOUT {
	TW_FRAME Frame;
	TW_UINT32 DocumentNumber;
	TW_UINT32 PageNumber;
	TW_UINT32 FrameNumber;
};

struct TW_SETUPFILEXFER {
	TW_STR255 FileName;
	TW_UINT16 Format;
	TW_INT16 VRefNum;
};

struct TW_CALLBACK {
	TW_MEMREF CallBackProc;
	TW_UINT32 RefCon;
	TW_INT16 Message;
};

struct TW_CALLBACK2 {
	TW_MEMREF CallBackProc;
	TW_UINTPTR RefCon;
	TW_INT16 Message;
};

struct TW_ELEMENT8 {
	TW_UINT8 Index;
	TW_UINT8 Channel1;
	TW_UINT8 Channel2;
	TW_UINT8 Channel3;
};

// DAT_GRAYRESPONSE and DAT_RGBRESPONSE: 2^BitsPerPixel elements.
struct TW_GRAYRESPONSE {
	TW_ELEMENT8 Response[1];
};

using DSMENTRYPROC = TW_UINT16(WINAPI *)(TW_IDENTITY *origin, TW_IDENTITY *dest, TW_UINT32 dg, TW_UINT16 dat,
					 TW_UINT16 msg, TW_MEMREF data);
using DSM_MEMALLOCATE = TW_HANDLE(WINAPI *)(TW_UINT32 size);
using DSM_MEMFREE = void(WINAPI *)(TW_HANDLE handle);
using DSM_MEMLOCK = TW_MEMREF(WINAPI *)(TW_HANDLE handle);
using DSM_MEMUNLOCK = void(WINAPI *)(TW_HANDLE handle);

struct TW_ENTRYPOINT {
	TW_UINT32 Size;
	DSMENTRYPROC DSM_Entry;
	DSM_MEMALLOCATE DSM_MemAllocate;
	DSM_MEMFREE DSM_MemFree;
	DSM_MEMLOCK DSM_MemLock;
	DSM_MEMUNLOCK DSM_MemUnlock;
};

#pragma pack(pop)

// The layouts every TWAIN program shares: handles, pointers and TW_UINTPTR
// are 8 bytes on 64-bit Windows and 4 on 32-bit, every field 2-byte aligned.
constexpr bool kTwain64 = sizeof(void *) == 8;
static_assert(sizeof(void *) == 8 || sizeof(void *) == 4);
static_assert(sizeof(TW_HANDLE) == sizeof(void *) && sizeof(TW_UINTPTR) == sizeof(void *));
static_assert(sizeof(TW_FIX32) == 4 && sizeof(TW_FRAME) == 16);
static_assert(sizeof(TW_VERSION) == 42 && offsetof(TW_VERSION, Info) == 8);
static_assert(sizeof(TW_IDENTITY) == 156 && offsetof(TW_IDENTITY, Version) == 4 &&
	      offsetof(TW_IDENTITY, ProtocolMajor) == 46 && offsetof(TW_IDENTITY, SupportedGroups) == 50 &&
	      offsetof(TW_IDENTITY, Manufacturer) == 54 && offsetof(TW_IDENTITY, ProductFamily) == 88 &&
	      offsetof(TW_IDENTITY, ProductName) == 122);
static_assert(sizeof(TW_CAPABILITY) == (kTwain64 ? 12 : 8) && offsetof(TW_CAPABILITY, hContainer) == 4);
static_assert(sizeof(TW_ONEVALUE) == 6 && offsetof(TW_ONEVALUE, Item) == 2);
static_assert(sizeof(TW_ENUMERATION) == 16 && offsetof(TW_ENUMERATION, CurrentIndex) == 6 &&
	      offsetof(TW_ENUMERATION, DefaultIndex) == 10 && offsetof(TW_ENUMERATION, ItemList) == 14);
static_assert(sizeof(TW_ARRAY) == 8 && offsetof(TW_ARRAY, ItemList) == 6);
static_assert(sizeof(TW_RANGE) == 22 && offsetof(TW_RANGE, StepSize) == 10 && offsetof(TW_RANGE, CurrentValue) == 18);
static_assert(sizeof(TW_USERINTERFACE) == (kTwain64 ? 12 : 8) && offsetof(TW_USERINTERFACE, hParent) == 4);
static_assert(sizeof(TW_PENDINGXFERS) == 6 && offsetof(TW_PENDINGXFERS, EOJ) == 2);
static_assert(sizeof(TW_STATUS) == 4);
static_assert(sizeof(TW_DEVICEEVENT) == 294 && offsetof(TW_DEVICEEVENT, DeviceName) == 4 &&
	      offsetof(TW_DEVICEEVENT, BatteryMinutes) == 260 && offsetof(TW_DEVICEEVENT, BatteryPercentage) == 264 &&
	      offsetof(TW_DEVICEEVENT, PowerSupply) == 266 && offsetof(TW_DEVICEEVENT, XResolution) == 270 &&
	      offsetof(TW_DEVICEEVENT, YResolution) == 274 && offsetof(TW_DEVICEEVENT, FlashUsed2) == 278 &&
	      offsetof(TW_DEVICEEVENT, AutomaticCapture) == 282 &&
	      offsetof(TW_DEVICEEVENT, TimeBeforeFirstCapture) == 286 &&
	      offsetof(TW_DEVICEEVENT, TimeBetweenCaptures) == 290);
static_assert(sizeof(TW_STATUSUTF8) == (kTwain64 ? 16 : 12) && offsetof(TW_STATUSUTF8, Size) == 4 &&
	      offsetof(TW_STATUSUTF8, UTF8string) == 8);
static_assert(sizeof(TW_EVENT) == (kTwain64 ? 10 : 6) && offsetof(TW_EVENT, TWMessage) == (kTwain64 ? 8 : 4));
static_assert(sizeof(TW_SETUPMEMXFER) == 12);
static_assert(sizeof(TW_MEMORY) == (kTwain64 ? 16 : 12) && offsetof(TW_MEMORY, TheMem) == 8);
static_assert(sizeof(TW_IMAGEMEMXFER) == (kTwain64 ? 42 : 38) && offsetof(TW_IMAGEMEMXFER, BytesPerRow) == 2 &&
	      offsetof(TW_IMAGEMEMXFER, BytesWritten) == 22 && offsetof(TW_IMAGEMEMXFER, Memory) == 26);
static_assert(sizeof(TW_IMAGEINFO) == 42 && offsetof(TW_IMAGEINFO, ImageWidth) == 8 &&
	      offsetof(TW_IMAGEINFO, SamplesPerPixel) == 16 && offsetof(TW_IMAGEINFO, BitsPerSample) == 18 &&
	      offsetof(TW_IMAGEINFO, BitsPerPixel) == 34 && offsetof(TW_IMAGEINFO, PixelType) == 38 &&
	      offsetof(TW_IMAGEINFO, Compression) == 40);
static_assert(sizeof(TW_IMAGELAYOUT) == 28 && offsetof(TW_IMAGELAYOUT, DocumentNumber) == 16);
static_assert(sizeof(TW_SETUPFILEXFER) == 260 && offsetof(TW_SETUPFILEXFER, Format) == 256);
static_assert(sizeof(TW_CALLBACK) == (kTwain64 ? 14 : 10) && offsetof(TW_CALLBACK, RefCon) == (kTwain64 ? 8 : 4) &&
	      offsetof(TW_CALLBACK, Message) == (kTwain64 ? 12 : 8));
static_assert(sizeof(TW_CALLBACK2) == (kTwain64 ? 18 : 10) && offsetof(TW_CALLBACK2, RefCon) == (kTwain64 ? 8 : 4) &&
	      offsetof(TW_CALLBACK2, Message) == (kTwain64 ? 16 : 8));
static_assert(sizeof(TW_ELEMENT8) == 4);
static_assert(sizeof(TW_ENTRYPOINT) == (kTwain64 ? 44 : 24) && offsetof(TW_ENTRYPOINT, DSM_Entry) == 4 &&
	      offsetof(TW_ENTRYPOINT, DSM_MemUnlock) == (kTwain64 ? 36 : 20));

// Protocol version and the groups.
constexpr TW_UINT16 TWON_PROTOCOLMAJOR = 2, TWON_PROTOCOLMINOR = 4;
constexpr TW_UINT32 DG_CONTROL = 0x1, DG_IMAGE = 0x2;
constexpr TW_UINT32 DF_DSM2 = 0x10000000, DF_APP2 = 0x20000000, DF_DS2 = 0x40000000;
constexpr TW_UINT16 TWLG_ENGLISH_USA = 13, TWCY_USA = 1;

// Containers and item types.
constexpr TW_UINT16 TWON_ARRAY = 3, TWON_ENUMERATION = 4, TWON_ONEVALUE = 5, TWON_RANGE = 6,
		    TWON_DONTCARE16 = 0xFFFF;
constexpr TW_UINT16 TWTY_INT8 = 0, TWTY_INT16 = 1, TWTY_INT32 = 2, TWTY_UINT8 = 3, TWTY_UINT16 = 4,
		    TWTY_UINT32 = 5, TWTY_BOOL = 6, TWTY_FIX32 = 7, TWTY_FRAME = 8;

// Data argument types.
constexpr TW_UINT16 DAT_NULL = 0x0, DAT_CAPABILITY = 0x1, DAT_EVENT = 0x2, DAT_IDENTITY = 0x3, DAT_PARENT = 0x4,
		    DAT_PENDINGXFERS = 0x5, DAT_SETUPMEMXFER = 0x6, DAT_SETUPFILEXFER = 0x7, DAT_STATUS = 0x8,
		    DAT_USERINTERFACE = 0x9, DAT_XFERGROUP = 0xA, DAT_DEVICEEVENT = 0xD, DAT_CALLBACK = 0x10, DAT_STATUSUTF8 = 0x11,
		    DAT_CALLBACK2 = 0x12, DAT_IMAGEINFO = 0x101, DAT_IMAGELAYOUT = 0x102, DAT_IMAGEMEMXFER = 0x103,
		    DAT_IMAGENATIVEXFER = 0x104, DAT_IMAGEFILEXFER = 0x105, DAT_GRAYRESPONSE = 0x107,
		    DAT_RGBRESPONSE = 0x108, DAT_ENTRYPOINT = 0x403;

// Messages.
constexpr TW_UINT16 MSG_NULL = 0x0, MSG_GET = 0x1, MSG_GETCURRENT = 0x2, MSG_GETDEFAULT = 0x3, MSG_GETFIRST = 0x4,
		    MSG_GETNEXT = 0x5, MSG_SET = 0x6,
		    MSG_RESET = 0x7, MSG_QUERYSUPPORT = 0x8, MSG_XFERREADY = 0x101, MSG_CLOSEDSREQ = 0x102,
		    MSG_CLOSEDSOK = 0x103, MSG_DEVICEEVENT = 0x104, MSG_OPENDSM = 0x301,
		    MSG_CLOSEDSM = 0x302, MSG_OPENDS = 0x401, MSG_CLOSEDS = 0x402,
		    MSG_DISABLEDS = 0x501, MSG_ENABLEDS = 0x502, MSG_ENABLEDSUIONLY = 0x503,
		    MSG_PROCESSEVENT = 0x601, MSG_ENDXFER = 0x701, MSG_STOPFEEDER = 0x702,
		    MSG_REGISTER_CALLBACK = 0x902, MSG_RESETALL = 0xA01;

// Return codes and condition codes.
constexpr TW_UINT16 TWRC_SUCCESS = 0, TWRC_FAILURE = 1, TWRC_CHECKSTATUS = 2, TWRC_CANCEL = 3, TWRC_DSEVENT = 4,
		    TWRC_NOTDSEVENT = 5, TWRC_XFERDONE = 6, TWRC_ENDOFLIST = 7;
constexpr TW_UINT16 TWCC_SUCCESS = 0, TWCC_BUMMER = 1, TWCC_LOWMEMORY = 2, TWCC_OPERATIONERROR = 5,
		    TWCC_BADCAP = 6, TWCC_BADPROTOCOL = 9, TWCC_BADVALUE = 10, TWCC_SEQERROR = 11,
		    TWCC_CAPUNSUPPORTED = 13, TWCC_CAPBADOPERATION = 14, TWCC_CAPSEQERROR = 15, TWCC_DENIED = 16,
		    TWCC_FILEEXISTS = 17, TWCC_FILENOTFOUND = 18, TWCC_PAPERJAM = 20, TWCC_PAPERDOUBLEFEED = 21,
		    TWCC_FILEWRITEERROR = 22, TWCC_CHECKDEVICEONLINE = 23, TWCC_INTERLOCK = 24, TWCC_NOMEDIA = 29;

// MSG_QUERYSUPPORT's answer.
constexpr TW_INT32 TWQC_GET = 0x1, TWQC_SET = 0x2, TWQC_GETDEFAULT = 0x4, TWQC_GETCURRENT = 0x8, TWQC_RESET = 0x10;

// TW_MEMORY flags.
constexpr TW_UINT32 TWMF_APPOWNS = 0x1, TWMF_DSMOWNS = 0x2, TWMF_DSOWNS = 0x4, TWMF_POINTER = 0x8,
		    TWMF_HANDLE = 0x10;

// Capabilities.
constexpr TW_UINT16 CAP_XFERCOUNT = 0x0001, ICAP_COMPRESSION = 0x0100, ICAP_PIXELTYPE = 0x0101,
		    ICAP_UNITS = 0x0102, ICAP_XFERMECH = 0x0103, CAP_FEEDERENABLED = 0x1002,
		    CAP_FEEDERLOADED = 0x1003, CAP_SUPPORTEDCAPS = 0x1005, CAP_AUTOFEED = 0x1007,
		    CAP_INDICATORS = 0x100B, CAP_PAPERDETECTABLE = 0x100D, CAP_UICONTROLLABLE = 0x100E,
		    CAP_DEVICEONLINE = 0x100F, CAP_DEVICEEVENT = 0x1022, CAP_SUPPORTEDDATS = 0x103E, CAP_DOUBLEFEEDDETECTION = 0x103F, ICAP_FILTER = 0x1106,
		    ICAP_HALFTONES = 0x1109, ICAP_IMAGEFILEFORMAT = 0x110C, ICAP_PHYSICALWIDTH = 0x1111,
		    ICAP_PHYSICALHEIGHT = 0x1112, ICAP_FRAMES = 0x1114, ICAP_XRESOLUTION = 0x1118,
		    ICAP_YRESOLUTION = 0x1119, ICAP_BITORDER = 0x111C, ICAP_PIXELFLAVOR = 0x111F,
		    ICAP_PLANARCHUNKY = 0x1120, ICAP_SUPPORTEDSIZES = 0x1122, ICAP_BITDEPTH = 0x112B,
		    ICAP_BITDEPTHREDUCTION = 0x112C;

// Capability values.
constexpr TW_UINT16 TWDF_ULTRASONIC = 0;
constexpr TW_UINT16 TWDE_DEVICEOFFLINE = 7, TWDE_DEVICEREMOVED = 9, TWDE_PAPERDOUBLEFEED = 12, TWDE_PAPERJAM = 13;
constexpr TW_UINT16 TWPT_BW = 0, TWPT_GRAY = 1, TWPT_RGB = 2;
constexpr TW_UINT16 TWUN_INCHES = 0, TWUN_CENTIMETERS = 1, TWUN_POINTS = 3, TWUN_PIXELS = 5;
constexpr TW_UINT16 TWSX_NATIVE = 0, TWSX_FILE = 1, TWSX_MEMORY = 2;
constexpr TW_UINT16 TWCP_NONE = 0, TWCP_GROUP4 = 5;
constexpr TW_UINT16 TWFF_TIFF = 0, TWFF_BMP = 2, TWFF_JFIF = 4, TWFF_PNG = 7;
constexpr TW_UINT16 TWPF_CHOCOLATE = 0, TWPF_VANILLA = 1;
constexpr TW_UINT16 TWBO_LSBFIRST = 0, TWBO_MSBFIRST = 1;
constexpr TW_UINT16 TWPC_CHUNKY = 0;
constexpr TW_UINT16 TWBR_THRESHOLD = 0, TWBR_HALFTONE = 1;
constexpr TW_UINT16 TWFT_RED = 0, TWFT_GREEN = 1, TWFT_BLUE = 2, TWFT_NONE = 3;
constexpr TW_UINT16 TWSS_NONE = 0, TWSS_A4 = 1, TWSS_JISB5 = 2, TWSS_USLETTER = 3, TWSS_USLEGAL = 4,
		    TWSS_A5 = 5;

constexpr TW_UINT16 TWTY_STR32 = 9;

// The entry point of a data source (that of the manager is DSMENTRYPROC).
using DSENTRYPROC = TW_UINT16(WINAPI *)(TW_IDENTITY *origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
					TW_MEMREF data);

} // namespace torvane::twain
