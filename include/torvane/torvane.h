/* SPDX-License-Identifier: MIT */
/*
 * torvane.h - the C interface of the Torvane scanner driver library.
 *
 * A front end (TWAIN data source, command-line tool, SANE backend) loads
 * RM735.dll / RM735.so (or another model name of the same library) and calls
 * these 27 functions. Every integer is 32-bit; every record is packed and laid
 * out byte for byte as the front ends expect it. Results are 1 for success and
 * 0 for failure; the reason of a failure is fetched with GetScannerStatusEx.
 */
#ifndef TORVANE_TORVANE_H
#define TORVANE_TORVANE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(TORVANE_BUILDING_LIBRARY) && !defined(_WIN32)
#define TORVANE_API __attribute__((visibility("default")))
#else
/* On Windows the export list is the module definition file. */
#define TORVANE_API
#endif

/* The records and the table of error codes keep their columns as written. */
/* clang-format off */
#pragma pack(push, 1)

/* The front end's scan description (70 bytes). */
typedef struct ScanParameter {
	uint16_t Left;          /* 0: left edge, 1/300 inch (1/2400 with ExtScanParam bit 6) */
	uint16_t Top;           /* 2 */
	uint16_t Width;         /* 4 */
	uint16_t Length;        /* 6 */
	uint16_t PixelNum;      /* 8: pixels per line delivered */
	uint16_t LineNum;       /* 10: lines delivered */
	uint8_t ScanMode;       /* 12: 0 line art, 1 halftone, 2 grey, 4 colour, 6 colour 2 */
	uint8_t ScanMethod;     /* 13 */
	uint8_t BitPerPixel;    /* 14: 1, 8, 12, 16, 24 or 48 */
	uint8_t ScanSpeed;      /* 15 */
	int8_t Contrast;        /* 16 */
	int8_t Brightness;      /* 17 */
	uint8_t HTPatternNo;    /* 18: halftone pattern 1..6 */
	uint8_t Highlight;      /* 19 */
	uint8_t Shadow;         /* 20 */
	uint8_t ColorFilter;    /* 21: 0 none, 1..3 one channel */
	uint8_t Invert;         /* 22 */
	uint8_t ReadStatus;     /* 23 */
	uint16_t ExtScanParam;  /* 24: bit 6 = coordinates in 1/2400 inch */
	uint16_t RExposure;     /* 26 */
	uint16_t GExposure;     /* 28 */
	uint16_t BExposure;     /* 30 */
	uint16_t XRes;          /* 32: requested resolution, dpi */
	uint16_t YRes;          /* 34 */
	uint16_t RGain;         /* 36 */
	uint16_t GGain;         /* 38 */
	uint16_t BGain;         /* 40 */
	int16_t lensPosition;   /* 42 */
	uint8_t byBackgroundLines;   /* 44 */
	uint8_t byPagesThisJob;      /* 45 */
	uint8_t Reserved46[6];       /* 46..51 */
	uint8_t UltraSonicIntension; /* 52 */
	uint8_t Reserved53[10];      /* 53..62 */
	uint8_t EnableBatchScan;     /* 63 */
	uint16_t wPaperLength;       /* 64 */
	uint16_t ExtIndex;           /* 66 */
	uint16_t ExtSize;            /* 68 */
} ScanParameter;

/* The basic ability record (44 bytes). */
typedef struct ScannerAbility {
	char ProductName[8];       /* 0: 7 characters of the product id, terminated */
	char Revision[4];          /* 8: 3 characters of the revision, terminated */
	uint16_t InquiryWord89;    /* 12 */
	uint16_t FirstResolution;  /* 14 */
	uint16_t SecondResolution; /* 16 */
	uint8_t AbilityCode;       /* 18: 136, or 137 */
	uint8_t AlwaysOne;         /* 19 */
	uint8_t KindFlags;         /* 20: 0xD0, 0xB0 or 0x90 */
	uint8_t InquiryByte62;     /* 21 */
	uint16_t ScanWidth;        /* 22: pixels at 300 dpi */
	uint16_t ScanLength;       /* 24: inquiry length minus 12 */
	uint16_t Reserved26;       /* 26 */
	uint16_t Reserved28;       /* 28 */
	uint8_t Reserved30;        /* 30 */
	uint8_t InquiryByte63;     /* 31 */
	uint8_t AreaFlag32;        /* 32 */
	uint8_t AreaFlag33;        /* 33 */
	uint8_t Reserved34[10];    /* 34..43 */
} ScannerAbility;

/* The extended ability record (148 bytes). */
typedef struct ScannerAbilityEx {
	char Vendor[8];            /* 0 */
	uint8_t Reserved8[4];      /* 8 */
	char Product[16];          /* 12 */
	uint8_t Reserved28[4];     /* 28 */
	char Revision[4];          /* 32 */
	uint8_t Reserved36[4];     /* 36 */
	char Interface[8];         /* 40: "USB 2.0" */
	uint8_t Reserved48[4];     /* 48 */
	char Bus[4];               /* 52: "USB" */
	uint8_t Reserved56[4];     /* 56 */
	uint8_t Sequence[5];       /* 60: 1, 2, 3, 4, 5 */
	uint8_t Reserved65[3];     /* 65 */
	uint32_t CapabilityA;      /* 68 */
	uint32_t CapabilityB;      /* 72 */
	uint8_t Reserved76[4];     /* 76 */
	uint16_t ScanWidth;        /* 80: pixels at 300 dpi */
	uint16_t ScanLength;       /* 82 */
	uint16_t Reserved84;       /* 84 */
	uint16_t Reserved86;       /* 86 */
	uint16_t InquiryWord89;    /* 88 */
	uint16_t Resolution[4];    /* 90..97: R1..R4 */
	uint16_t CapabilityC;      /* 98 */
	uint16_t InquiryByte62;    /* 100 */
	uint8_t Reserved102[2];    /* 102 */
	uint8_t InquiryByte60;     /* 104 */
	uint8_t InquiryByte61;     /* 105 */
	uint8_t AlwaysFive;        /* 106 */
	uint8_t Reserved107;       /* 107 */
	uint8_t InquiryByte57;     /* 108 */
	uint8_t InquiryByte55;     /* 109 */
	uint8_t InquiryByte54;     /* 110 */
	uint8_t InquiryByte58;     /* 111 */
	uint8_t InquiryByte59;     /* 112 */
	uint8_t InquiryByte56;     /* 113 */
	uint8_t Reserved114[2];    /* 114 */
	uint32_t CapabilityD;      /* 116 */
	uint32_t CapabilityE;      /* 120 */
	uint8_t Reserved124[4];    /* 124 */
	uint16_t InquiryWord75;    /* 128 */
	uint8_t ButtonCount;       /* 130 */
	uint8_t Reserved131[3];    /* 131 */
	uint8_t InquiryByte129;    /* 134 */
	uint8_t Reserved135;       /* 135 */
	uint32_t CapabilityF;      /* 136: 0xA00 */
	uint8_t Reserved140[8];    /* 140..147 */
} ScannerAbilityEx;

/* The scanner's non-volatile memory record (128 bytes), in host byte order. */
typedef struct NvmRecord {
	uint32_t Long00;           /* 0x00 */
	uint32_t Long04;           /* 0x04 */
	uint32_t Long08;           /* 0x08 */
	uint32_t Long0C;           /* 0x0C */
	uint16_t CarriedWords[6];  /* 0x10..0x1B: kept by InitializeNVM */
	uint16_t InitMonth;        /* 0x1C: test word 1 */
	uint16_t InitDay;          /* 0x1E: test word 2 */
	uint16_t InitYear;         /* 0x20: test word 3 */
	uint16_t TestWord4;        /* 0x22 */
	uint16_t TestWord5;        /* 0x24 */
	uint16_t TestWord6;        /* 0x26 */
	uint16_t Word28;           /* 0x28 */
	uint16_t Word2A;           /* 0x2A */
	uint8_t Byte2C;            /* 0x2C */
	uint8_t Byte2D;            /* 0x2D */
	char InitText[24];         /* 0x2E..0x45 */
	uint16_t Word46;           /* 0x46 */
	uint8_t Byte48;            /* 0x48 */
	uint32_t Long49;           /* 0x49 */
	uint32_t Long4D;           /* 0x4D */
	uint32_t Long51;           /* 0x51 */
	uint8_t Byte55;            /* 0x55 */
	uint8_t Block56[16];       /* 0x56..0x65 */
	uint8_t Block66[16];       /* 0x66..0x75 */
	uint8_t Byte76;            /* 0x76 */
	uint8_t Tail77[9];         /* 0x77..0x7F */
} NvmRecord;

/* The caller's record for InitializeNVM and CheckNVMData (55 bytes used). */
typedef struct NvmInitRecord {
	uint32_t Size;             /* 0: size of this record in bytes */
	char Text[24];             /* 4..27 */
	uint8_t Unused28[19];      /* 28..46 */
	uint8_t Byte47;            /* 47: for NVM offset 0x2C */
	uint8_t Unused48[6];       /* 48..53 */
	uint8_t Byte54;            /* 54: for NVM offset 0x76 */
} NvmInitRecord;

/* Filled by InitialButton (24 bytes). */
typedef struct ButtonSetup {
	uint32_t HasButtons;       /* 0: 3 with push buttons, else 0 */
	uint16_t ButtonCount;      /* 4 */
	uint16_t ReportSize;       /* 6: 4 with push buttons, else 0 */
	uint8_t Reserved8[16];     /* 8..23 */
} ButtonSetup;

/* Filled by ReadPushButton (16 bytes). */
typedef struct ButtonReport {
	uint8_t Bytes[8];          /* 0: the scanner's report, rewritten */
	uint8_t Reserved8[8];      /* 8..15 */
} ButtonReport;

#pragma pack(pop)

/* The records are part of the binary interface: their layout never changes. */
#if defined(__cplusplus)
#define TORVANE_LAYOUT_ASSERT(x) static_assert(x, #x)
#else
#define TORVANE_LAYOUT_ASSERT(x) _Static_assert(x, #x)
#endif
TORVANE_LAYOUT_ASSERT(sizeof(ScanParameter) == 70);
TORVANE_LAYOUT_ASSERT(sizeof(ScannerAbility) == 44);
TORVANE_LAYOUT_ASSERT(sizeof(ScannerAbilityEx) == 148);
TORVANE_LAYOUT_ASSERT(sizeof(NvmRecord) == 128);
TORVANE_LAYOUT_ASSERT(sizeof(NvmInitRecord) == 55);
TORVANE_LAYOUT_ASSERT(sizeof(ButtonSetup) == 24);
TORVANE_LAYOUT_ASSERT(sizeof(ButtonReport) == 16);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, Left) == 0);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, Top) == 2);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, Width) == 4);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, Length) == 6);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, PixelNum) == 8);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, LineNum) == 10);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, ScanMode) == 12);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, ScanMethod) == 13);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, BitPerPixel) == 14);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, ScanSpeed) == 15);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, Contrast) == 16);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, Brightness) == 17);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, HTPatternNo) == 18);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, Highlight) == 19);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, Shadow) == 20);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, ColorFilter) == 21);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, Invert) == 22);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, ReadStatus) == 23);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, ExtScanParam) == 24);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, RExposure) == 26);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, GExposure) == 28);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, BExposure) == 30);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, XRes) == 32);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, YRes) == 34);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, RGain) == 36);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, GGain) == 38);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, BGain) == 40);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, lensPosition) == 42);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, byBackgroundLines) == 44);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, byPagesThisJob) == 45);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, Reserved46) == 46);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, UltraSonicIntension) == 52);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, Reserved53) == 53);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, EnableBatchScan) == 63);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, wPaperLength) == 64);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, ExtIndex) == 66);
TORVANE_LAYOUT_ASSERT(offsetof(ScanParameter, ExtSize) == 68);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbility, ProductName) == 0);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbility, Revision) == 8);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbility, InquiryWord89) == 12);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbility, FirstResolution) == 14);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbility, SecondResolution) == 16);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbility, AbilityCode) == 18);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbility, AlwaysOne) == 19);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbility, KindFlags) == 20);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbility, InquiryByte62) == 21);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbility, ScanWidth) == 22);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbility, ScanLength) == 24);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbility, Reserved26) == 26);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbility, Reserved28) == 28);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbility, Reserved30) == 30);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbility, InquiryByte63) == 31);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbility, AreaFlag32) == 32);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbility, AreaFlag33) == 33);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbility, Reserved34) == 34);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, Vendor) == 0);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, Reserved8) == 8);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, Product) == 12);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, Reserved28) == 28);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, Revision) == 32);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, Reserved36) == 36);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, Interface) == 40);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, Reserved48) == 48);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, Bus) == 52);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, Reserved56) == 56);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, Sequence) == 60);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, Reserved65) == 65);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, CapabilityA) == 68);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, CapabilityB) == 72);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, Reserved76) == 76);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, ScanWidth) == 80);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, ScanLength) == 82);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, Reserved84) == 84);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, Reserved86) == 86);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, InquiryWord89) == 88);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, Resolution) == 90);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, CapabilityC) == 98);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, InquiryByte62) == 100);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, Reserved102) == 102);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, InquiryByte60) == 104);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, InquiryByte61) == 105);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, AlwaysFive) == 106);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, Reserved107) == 107);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, InquiryByte57) == 108);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, InquiryByte55) == 109);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, InquiryByte54) == 110);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, InquiryByte58) == 111);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, InquiryByte59) == 112);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, InquiryByte56) == 113);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, Reserved114) == 114);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, CapabilityD) == 116);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, CapabilityE) == 120);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, Reserved124) == 124);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, InquiryWord75) == 128);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, ButtonCount) == 130);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, Reserved131) == 131);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, InquiryByte129) == 134);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, Reserved135) == 135);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, CapabilityF) == 136);
TORVANE_LAYOUT_ASSERT(offsetof(ScannerAbilityEx, Reserved140) == 140);
TORVANE_LAYOUT_ASSERT(offsetof(NvmRecord, Long00) == 0);
TORVANE_LAYOUT_ASSERT(offsetof(NvmRecord, Long04) == 4);
TORVANE_LAYOUT_ASSERT(offsetof(NvmRecord, Long08) == 8);
TORVANE_LAYOUT_ASSERT(offsetof(NvmRecord, Long0C) == 12);
TORVANE_LAYOUT_ASSERT(offsetof(NvmRecord, CarriedWords) == 16);
TORVANE_LAYOUT_ASSERT(offsetof(NvmRecord, InitMonth) == 28);
TORVANE_LAYOUT_ASSERT(offsetof(NvmRecord, InitDay) == 30);
TORVANE_LAYOUT_ASSERT(offsetof(NvmRecord, InitYear) == 32);
TORVANE_LAYOUT_ASSERT(offsetof(NvmRecord, TestWord4) == 34);
TORVANE_LAYOUT_ASSERT(offsetof(NvmRecord, TestWord5) == 36);
TORVANE_LAYOUT_ASSERT(offsetof(NvmRecord, TestWord6) == 38);
TORVANE_LAYOUT_ASSERT(offsetof(NvmRecord, Word28) == 40);
TORVANE_LAYOUT_ASSERT(offsetof(NvmRecord, Word2A) == 42);
TORVANE_LAYOUT_ASSERT(offsetof(NvmRecord, Byte2C) == 44);
TORVANE_LAYOUT_ASSERT(offsetof(NvmRecord, Byte2D) == 45);
TORVANE_LAYOUT_ASSERT(offsetof(NvmRecord, InitText) == 46);
TORVANE_LAYOUT_ASSERT(offsetof(NvmRecord, Word46) == 70);
TORVANE_LAYOUT_ASSERT(offsetof(NvmRecord, Byte48) == 72);
TORVANE_LAYOUT_ASSERT(offsetof(NvmRecord, Long49) == 73);
TORVANE_LAYOUT_ASSERT(offsetof(NvmRecord, Long4D) == 77);
TORVANE_LAYOUT_ASSERT(offsetof(NvmRecord, Long51) == 81);
TORVANE_LAYOUT_ASSERT(offsetof(NvmRecord, Byte55) == 85);
TORVANE_LAYOUT_ASSERT(offsetof(NvmRecord, Block56) == 86);
TORVANE_LAYOUT_ASSERT(offsetof(NvmRecord, Block66) == 102);
TORVANE_LAYOUT_ASSERT(offsetof(NvmRecord, Byte76) == 118);
TORVANE_LAYOUT_ASSERT(offsetof(NvmRecord, Tail77) == 119);
TORVANE_LAYOUT_ASSERT(offsetof(NvmInitRecord, Size) == 0);
TORVANE_LAYOUT_ASSERT(offsetof(NvmInitRecord, Text) == 4);
TORVANE_LAYOUT_ASSERT(offsetof(NvmInitRecord, Unused28) == 28);
TORVANE_LAYOUT_ASSERT(offsetof(NvmInitRecord, Byte47) == 47);
TORVANE_LAYOUT_ASSERT(offsetof(NvmInitRecord, Unused48) == 48);
TORVANE_LAYOUT_ASSERT(offsetof(NvmInitRecord, Byte54) == 54);
TORVANE_LAYOUT_ASSERT(offsetof(ButtonSetup, HasButtons) == 0);
TORVANE_LAYOUT_ASSERT(offsetof(ButtonSetup, ButtonCount) == 4);
TORVANE_LAYOUT_ASSERT(offsetof(ButtonSetup, ReportSize) == 6);
TORVANE_LAYOUT_ASSERT(offsetof(ButtonSetup, Reserved8) == 8);
TORVANE_LAYOUT_ASSERT(offsetof(ButtonReport, Bytes) == 0);
TORVANE_LAYOUT_ASSERT(offsetof(ButtonReport, Reserved8) == 8);

/*
 * Driver error codes: the reason of the last failure, as GetScannerStatusEx
 * reports it (GetScannerStatus gives its low byte). TORVANE_ERROR_NONE: no
 * failure recorded. A code below 128 not named here is the response code of
 * sense data in a format the driver does not decode.
 *
 * TORVANE_ERROR_CODES(X) is every other code the driver produces, as
 * X(name, value) in the order of the values, so that a front end can walk the
 * whole table. "Sense" marks a code the driver derives from the scanner's
 * sense data; SENSE_xxxx names the additional sense code and qualifier
 * (ASC * 256 + ASCQ) that gives it.
 */
#define TORVANE_ERROR_CODES(X) \
	X(TORVANE_ERROR_DEFERRED, 113)         /* sense: an error of an earlier command */ \
	X(TORVANE_ERROR_NO_SCANNER, 129)       /* no supported scanner, or not the library's model */ \
	X(TORVANE_ERROR_NO_MEMORY, 152)        /* a scan or work buffer could not be allocated */ \
	X(TORVANE_ERROR_NO_DEVICE, 155)        /* the device file could not be opened */ \
	X(TORVANE_ERROR_DISCONNECTED, 156)     /* the scanner went away (unplugged, switched off) during the call */ \
	X(TORVANE_ERROR_NO_IMAGE_DATA, 157)    /* no image data became available */ \
	X(TORVANE_ERROR_CANCELLED, 159)        /* the scan ended after DoCancel */ \
	X(TORVANE_ERROR_BUSY, 162)             /* a scan cycle is open, or the device lock was refused */ \
	X(TORVANE_ERROR_INQUIRY_FAILED, 174)   /* the scanner did not answer INQUIRY */ \
	X(TORVANE_ERROR_INTERNAL_FAULT, 2001)  /* sense 0x9000, 0xA001 */ \
	X(TORVANE_ERROR_HARDWARE, 2004)        /* the window was not taken; sense: medium, hardware, unit attention */ \
	X(TORVANE_ERROR_ILLEGAL_REQUEST, 2005) /* an argument the driver cannot use; sense: illegal request */ \
	X(TORVANE_ERROR_LAMP, 2007)            /* sense 0x6000, lamp failure */ \
	X(TORVANE_ERROR_SENSE_1504, 2008)      /* sense: positioning */ \
	X(TORVANE_ERROR_NOT_READY, 2009)       /* sense: not ready */ \
	X(TORVANE_ERROR_ABORTED, 2010)         /* sense: aborted command */ \
	X(TORVANE_ERROR_SENSE_8001, 2013)      /* also 0x8009 */ \
	X(TORVANE_ERROR_SENSE_8002, 2014) \
	X(TORVANE_ERROR_SENSE_8003, 2015) \
	X(TORVANE_ERROR_HEAD_POSITIONING, 2021) /* sense 0x6200 */ \
	X(TORVANE_ERROR_SENSE_8004, 2022) \
	X(TORVANE_ERROR_BUTTON_EVENT, 2023)    /* the event of the button wait could not be created */ \
	X(TORVANE_ERROR_SENSE_8015, 2027) \
	X(TORVANE_ERROR_GENERAL, 2999)         /* any other failure; sense: no sense, unlisted ASC/ASCQ */ \
	X(TORVANE_ERROR_POSITIONING_READ, 3001) /* sense 0x1502 */ \
	X(TORVANE_ERROR_SENSE_1503, 3002) \
	X(TORVANE_ERROR_SENSE_4401, 3003) \
	X(TORVANE_ERROR_SENSE_4402, 3004)      /* also 0x4403 */ \
	X(TORVANE_ERROR_SENSE_6001, 3005) \
	X(TORVANE_ERROR_SENSE_6002, 3006) \
	X(TORVANE_ERROR_FEEDER_EMPTY, 3011)    /* sense 0x3A00: no paper in the document feeder */ \
	X(TORVANE_ERROR_COVER_OPEN, 3012)      /* sense 0x3A02: the feeder's cover is open */ \
	X(TORVANE_ERROR_PAPER_JAM, 3013)       /* sense 0x3B05 */ \
	X(TORVANE_ERROR_DOUBLE_FEED, 3014)     /* sense 0x3B80: two sheets fed at once */ \
	X(TORVANE_ERROR_SENSE_8005, 3101) \
	X(TORVANE_ERROR_SENSE_800A, 64001) \
	X(TORVANE_ERROR_SENSE_800B, 64002) \
	X(TORVANE_ERROR_SENSE_800C, 64003)

/* One enumeration, so that every code has the same type (a comma before each
   name keeps the list free of a trailing comma). */
#define TORVANE_ERROR_ENUMERATOR_(name, value) , name = value
enum { TORVANE_ERROR_NONE = 0 TORVANE_ERROR_CODES(TORVANE_ERROR_ENUMERATOR_) };
#undef TORVANE_ERROR_ENUMERATOR_

/* Driver */
TORVANE_API int InitializeDriver(void);
TORVANE_API int TerminateDriver(void);
TORVANE_API int ResetScanner(void);
TORVANE_API int ResetPushButton(void);
TORVANE_API int CheckPushButton(void);
TORVANE_API void DoCancel(void);

/* Ability and status */
TORVANE_API int GetScannerAbility(ScannerAbility *ability);
TORVANE_API int GetScannerAbilityEx(ScannerAbilityEx *ability);
TORVANE_API int InitializeScanner(void);
TORVANE_API int GetScannerStatus(unsigned char *status1, unsigned char *status2,
				 unsigned char *status3, unsigned char *errorCode);
TORVANE_API int GetScannerStatusEx(unsigned char *status1, unsigned char *status2,
				   unsigned char *status3, int32_t *errorCode);
TORVANE_API int GetLightStatus(void);

/* Scan */
TORVANE_API int SetScanParameter(const ScanParameter *parameter);
TORVANE_API int SetGammaTable(const unsigned char *table, unsigned char channel);
TORVANE_API int StartScan(void);
TORVANE_API int ReadScan(void *unused, unsigned char *buffer, uint32_t length);
TORVANE_API int StopScan(void);

/* Non-volatile memory */
TORVANE_API int ReadNVMData(NvmRecord *record);
TORVANE_API int WriteNVMData(const NvmRecord *record);
TORVANE_API int InitializeNVM(const NvmInitRecord *init);
TORVANE_API int TestNVM(void);
TORVANE_API int CheckNVMData(const NvmInitRecord *init);
TORVANE_API int SetNVRAMValue(const unsigned char *data, uint32_t size, uint16_t kind);

/* Buttons and power */
TORVANE_API int InitialButton(ButtonSetup *setup);
TORVANE_API int ReadPushButton(ButtonReport *report);
TORVANE_API int SetPowerSaveTime(int time);
TORVANE_API int SendPowerOffTime(int time);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TORVANE_TORVANE_H */
