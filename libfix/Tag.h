// One FIX field held apart from any message (number and value text), and the field-number and
// message-type constants of the FIX layer. Fields are identified by number alone: operator==
// ignores values, which is what template searches rely on. A Tag is a plain value; copies may go to
// any thread.
#pragma once

#include <string>

#include "Converter.h"

// Message types (value of field 35).
constexpr char msgTypeInvalid = '-';
constexpr char msgTypeHeartbeat = '0';
constexpr char msgTypeTestReq = '1';
constexpr char msgTypeResendReq = '2';
constexpr char msgTypeReject = '3';
constexpr char msgTypeSeqReset = '4';
constexpr char msgTypeLogout = '5';
constexpr char msgTypeIndInterest = '6';
constexpr char msgTypeAdvertisement = '7';
constexpr char msgTypeExecReport = '8';
constexpr char msgTypeCancelRej = '9';
constexpr char msgTypeLogon = 'A';
constexpr char msgTypeNews = 'B';
constexpr char msgTypeEmail = 'C';
constexpr char msgTypeOrderSingle = 'D';
constexpr char msgTypeOrderList = 'E';
constexpr char msgTypeCancel = 'F';
constexpr char msgTypeCancelRepl = 'G';
constexpr char msgTypeOrderStatus = 'H';
constexpr char msgTypeAllocation = 'J';
constexpr char msgTypeListCancel = 'K';
constexpr char msgTypeListExec = 'L';
constexpr char msgTyoeListStatuisR = 'M';
constexpr char msgTypeListStatus = 'N';
constexpr char msgTypeAllocationAck = 'P';
constexpr char msgTypeDontKnown = 'Q';
constexpr char msgTypeQuoteReq = 'R';
constexpr char msgTypeQoute = 'S';
constexpr char msgTypeSettlement = 'T';

// Field numbers.
constexpr int TagBeginSeqNo = 7;
constexpr int TagBeginString = 8;
constexpr int TagBodyLength = 9;
constexpr int TagCheckSum = 10;
constexpr int TagClOrdID = 11;
constexpr int TagEndSeqNo = 16;
constexpr int TagMsgSeqNum = 34;
constexpr int TagMsgType = 35;
constexpr int TagNewSeqNo = 36;
constexpr int TagOrdType = 40;
constexpr int TagPossDupFlag = 43;
constexpr int TagPrice = 44;
constexpr int TagRefSeqNum = 45;
constexpr int TagSenderCompID = 49;
constexpr int TagSendingTime = 52;
constexpr int TagSide = 54;
constexpr int TagSymbol = 55;
constexpr int TagTargetCompID = 56;
constexpr int TagTargetSubID = 57;
constexpr int TagText = 58;
constexpr int TagSymbolSfx = 65;
constexpr int TagEncryptMethod = 98;
constexpr int TagStopPx = 99;
constexpr int TagHeartBtInt = 108;
constexpr int TagTestReqID = 112;
constexpr int TagOnBehalfOfCompID = 115;
constexpr int TagOnBehalfOfSubID = 116;
constexpr int TagOrigSendingTime = 122;
constexpr int TagGapFillFlag = 123;
constexpr int TagDeliverToCompID = 128;
constexpr int TagDeliverToSubID = 129;
constexpr int TagResetSeqNumFlag = 141;
constexpr int TagOnBehalfOfLocationID = 144;
constexpr int TagDeliverToLocationID = 145;
constexpr int TagRefTagID = 371;
constexpr int TagRefMsgType = 372;
constexpr int TagSessionRejectReason = 373;
// FIXT.1.1: the application version of one message, and the one agreed at the Logon.
constexpr int TagApplVerID = 1128;
constexpr int TagDefaultApplVerID = 1137;

class Tag {
  public:
    Tag();
    Tag(int t, std::string v);
    // Parses "number=value". When an '=' stands after the first character, v is cut back to the
    // number text and the value is everything after the first '='; otherwise the value stays empty.
    explicit Tag(std::string& v);
    // The same parse of a text the caller does not need back.
    explicit Tag(const std::string& v);
    Tag(const Tag& other);
    Tag& operator=(const Tag& other);

    // Equal numbers make equal fields; values are not compared.
    bool operator==(const Tag& t) const;
    bool operator!=(const Tag& t) const;

    // Re-parses from "number=value"; without '=' the whole text is both number text and value.
    // tagValue is cut back to the text before the '='.
    void set(std::string& tagValue);

    // The search key inside a message: SOH, number, '=' (field 9 never matches 98 or 109).
    std::string tagStr() const;
    // The wire form: number, '=', value, SOH.
    std::string getTagValueStr() const;

    Converter cvt;
    int tag;
    std::string value;
};
