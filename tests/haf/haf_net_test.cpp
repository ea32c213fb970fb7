// Address accessors over a network table filled by the HA master simulator.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "haf/haf_net_infoShm.h"
#include "haf_test_env.h"
#include "hafsim_tables.h"

namespace {

// The simulator's tables below a private root, with the library attached to
// the same network segment.
class NetTable {
public:
    NetTable(const hafsim::Node &own, const hafsim::Node &peer) {
        std::string err;
        bCreated_ = tables_.create(err);
        EXPECT_TRUE(bCreated_) << err;
        if (!bCreated_) return;
        tables_.setPair(own, peer);
        pNet_ = Init_HafNetInfo(nullptr, 0);
        EXPECT_NE(pNet_, nullptr);
    }
    ~NetTable() { tables_.removeSegments(); }

    bool ready() const { return bCreated_ && pNet_ != nullptr; }
    void add(int nType, const hafsim::Ports &virt, const hafsim::Ports &own,
             const hafsim::Ports &peer) {
        ASSERT_TRUE(tables_.addPortGroup(nType, virt, own, peer));
    }
    HafNetworkInformation &net() { return *tables_.netInfo(); }

private:
    HafRootEnv env_;
    hafsim::Tables tables_;
    bool bCreated_ = false;
    HafNetworkInformation *pNet_ = nullptr;
};

const hafsim::Node kNode0{"KEST0", "KEST", "KESTG"};
const hafsim::Node kNode1{"KEST1", "KEST", "KESTG"};
const hafsim::Node kNode2{"KEST2", "KEST", "KESTG"};

std::string ip(int (*pfGet)(int, char *)) {
    char szIP[64] = "unset";
    return pfGet(sizeof(szIP), szIP) == 0 ? szIP : "-1";
}

std::string ipStatus(int (*pfGet)(int, char *, int &), int &nStatus) {
    char szIP[64] = "unset";
    nStatus = -99;
    return pfGet(sizeof(szIP), szIP, nStatus) == 0 ? szIP : "-1";
}

std::string ipPair(int (*pfGet)(int, char *, char *)) {
    char szIP1[64] = "unset";
    char szIP2[64] = "unset";
    if (pfGet(sizeof(szIP1), szIP1, szIP2) != 0) return "-1";
    return std::string(szIP1) + " " + szIP2;
}

// Own node 0: every port type, two virtual internal addresses, external
// addresses spread over a type 4 and a type 5 group.
void fillFullTable(NetTable &t) {
    t.add(DEF_HAF_NET_CHG_MONI, {}, {"10.1.0.1", ""}, {"10.1.0.2", ""});
    t.add(DEF_HAF_NET_CHG_SSVC, {"192.0.2.100", ""}, {"192.0.2.1", "192.0.2.11"},
          {"192.0.2.2", ""});
    t.add(DEF_HAF_NET_CHG_HEART, {}, {"10.2.0.1", ""}, {"10.2.0.2", ""});
    t.add(DEF_HAF_NET_CHG_INTR, {"10.3.0.100", "10.3.0.101"}, {"10.3.0.1", ""},
          {"10.3.0.2", ""});
    t.add(DEF_HAF_NET_CHG_MSVC, {"198.51.100.100", ""}, {"198.51.100.1", ""},
          {"198.51.100.2", ""});
}

}  // namespace

TEST(HafNetAccess, SingleAddressesPickTheirPortTypeAndNode) {
    NetTable t(kNode0, kNode1);
    ASSERT_TRUE(t.ready());
    fillFullTable(t);
    t.net().stNodeG[0].stPG[3].stP[0].stPortS[0].oper_status = 7;
    t.net().stNodeG[0].stPG[2].stP[0].stPortS[0].oper_status = 5;

    EXPECT_EQ(ip(HALibGetIntVIP), "10.3.0.100");
    EXPECT_EQ(ip(HALibGetIntLocalIP), "10.3.0.1");
    EXPECT_EQ(ip(HALibGetIntRemoteIP), "10.3.0.2");
    EXPECT_EQ(ip(HALibGetHBLocalIP), "10.2.0.1");
    EXPECT_EQ(ip(HALibGetHBRemoteIP), "10.2.0.2");
    int nStatus = 0;
    EXPECT_EQ(ipStatus(HALibGetIntLocalIPStatus, nStatus), "10.3.0.1");
    EXPECT_EQ(nStatus, 7);
    EXPECT_EQ(ipStatus(HALibGetHBLocalIPStatus, nStatus), "10.2.0.1");
    EXPECT_EQ(nStatus, 5);

    EXPECT_EQ(ipPair(HALibGetExtVIP), "192.0.2.100 198.51.100.100");
    EXPECT_EQ(ipPair(HALibGetExtLocalIP), "192.0.2.1 192.0.2.11");
    EXPECT_EQ(ipPair(HALibGetExtRemoteIP), "192.0.2.2 198.51.100.2");
    EXPECT_EQ(ipPair(HALibGetExtSVCIP), "192.0.2.100 198.51.100.100");
    EXPECT_EQ(ip(HALibGetVIP), "192.0.2.100");
    EXPECT_EQ(ip(HALibGetIntSVCIP), "10.3.0.100");

    char szIP[64] = "";
    EXPECT_EQ(HALibGetGIDVIP(3, sizeof(szIP), szIP), 0);
    EXPECT_STREQ(szIP, "10.3.0.100");
    EXPECT_EQ(HALibGetGIDLocalIP(2, sizeof(szIP), szIP), 0);
    EXPECT_STREQ(szIP, "10.2.0.1");
    EXPECT_EQ(HALibGetGIDVIP(0, sizeof(szIP), szIP), -1);  // monitoring group has no VIP
    EXPECT_EQ(HALibGetGIDVIP(5, sizeof(szIP), szIP), -1);  // beyond the groups in use
    EXPECT_EQ(HALibGetGIDVIP(-1, sizeof(szIP), szIP), -1);

    char szShort[5];
    EXPECT_EQ(HALibGetIntLocalIP(sizeof(szShort), szShort), 0);
    EXPECT_STREQ(szShort, "10.3");
}

TEST(HafNetAccess, FallbacksWhenOwnNodeIsSlotOneWithOnlyExternalPorts) {
    NetTable t(kNode1, kNode2);
    ASSERT_TRUE(t.ready());
    ASSERT_EQ(t.net().nMyNode.load(), 1);
    t.add(DEF_HAF_NET_CHG_MONI, {}, {"10.1.0.1", ""}, {"10.1.0.2", ""});
    t.add(DEF_HAF_NET_CHG_MSVC, {"198.51.100.100", ""}, {"198.51.100.1", ""},
          {"198.51.100.2", ""});
    ASSERT_STREQ(t.net().stNodeG[0].stPG[1].stP[1].cNode, "KEST1");

    // No internal or heartbeat group: other types but monitoring serve.
    EXPECT_EQ(ip(HALibGetIntLocalIP), "198.51.100.1");
    EXPECT_EQ(ip(HALibGetIntRemoteIP), "198.51.100.2");
    EXPECT_EQ(ip(HALibGetHBLocalIP), "198.51.100.1");
    EXPECT_EQ(ip(HALibGetHBRemoteIP), "198.51.100.2");
    int nStatus = 0;
    EXPECT_EQ(ipStatus(HALibGetIntLocalIPStatus, nStatus), "-1");  // internal only
    EXPECT_EQ(nStatus, 0);
    EXPECT_EQ(ipStatus(HALibGetHBLocalIPStatus, nStatus), "198.51.100.1");
    EXPECT_EQ(nStatus, 1);

    // Exactly one external virtual address: only the first buffer is filled.
    EXPECT_EQ(ipPair(HALibGetExtVIP), "198.51.100.100 unset");
    EXPECT_EQ(ip(HALibGetIntVIP), "-1");
    EXPECT_EQ(ip(HALibGetVIP), "198.51.100.100");
    EXPECT_EQ(ip(HALibGetIntSVCIP), "198.51.100.1");
}

TEST(HafNetAccess, NodeAndGroupLookupsByName) {
    NetTable t(kNode0, kNode1);
    ASSERT_TRUE(t.ready());
    fillFullTable(t);

    HafLibIfIpAddr stNode;
    ASSERT_EQ(HALibGetNodeIntIP("kest1", &stNode), 0);  // odd digits: slot 1
    EXPECT_STREQ(stNode.cName, "KEST1");
    EXPECT_STREQ(stNode.cVIP1, "10.3.0.100");
    EXPECT_STREQ(stNode.cVIP2, "10.3.0.101");
    EXPECT_STREQ(stNode.cPIP1, "10.3.0.2");
    EXPECT_STREQ(stNode.cPIP2, "");
    ASSERT_EQ(HALibGetNodeIntIP("KEST0", &stNode), 0);  // even digits: slot 0
    EXPECT_STREQ(stNode.cPIP1, "10.3.0.1");
    EXPECT_EQ(HALibGetNodeIntIP("KEST9", &stNode), -1);  // slot 1 holds KEST1
    ASSERT_EQ(HALibGetNodeExtIP("KEST0", &stNode), 0);   // first external group
    EXPECT_STREQ(stNode.cVIP1, "192.0.2.100");
    EXPECT_STREQ(stNode.cVIP2, "");
    EXPECT_STREQ(stNode.cPIP1, "192.0.2.1");
    EXPECT_STREQ(stNode.cPIP2, "192.0.2.11");

    auto pList = std::make_unique<HafLibIfIpAddrList>();
    EXPECT_EQ(HALibGetNodeIntIPList(pList.get()), 2);
    EXPECT_STREQ(pList->stD[0].cName, "KEST0");
    EXPECT_STREQ(pList->stD[1].cName, "KEST1");
    EXPECT_STREQ(pList->stD[1].cPIP1, "10.3.0.2");
    EXPECT_EQ(HALibGetNodeExtIPList(pList.get()), 4);
    EXPECT_EQ(pList->nCnt, 4);
    EXPECT_STREQ(pList->stD[3].cPIP1, "198.51.100.2");

    HafLibGrpIfIpAddr stGroup;
    ASSERT_EQ(HALibGetGroupIntIP("kestg", &stGroup), 0);
    EXPECT_STREQ(stGroup.cName, "KESTG");
    EXPECT_STREQ(stGroup.cVIP1, "10.3.0.100");
    EXPECT_STREQ(stGroup.cVIP2, "10.3.0.101");
    ASSERT_EQ(HALibGetGroupExtIP("KESTG", &stGroup), 0);
    EXPECT_STREQ(stGroup.cVIP1, "192.0.2.100");
    EXPECT_EQ(HALibGetGroupIntIP("OTHER", &stGroup), -1);
    auto pGroups = std::make_unique<HafLibGrpIfIpAddrList>();
    EXPECT_EQ(HALibGetGroupIntIPList(pGroups.get()), 1);
    EXPECT_EQ(HALibGetGroupExtIPList(pGroups.get()), 2);
    EXPECT_STREQ(pGroups->stD[1].cVIP1, "198.51.100.100");
}

TEST(HafNetAccess, NameWithoutDigitsUsesSlotZero) {
    EXPECT_EQ(HALibGetNodeID_IN("ABCD12"), 0);
    EXPECT_EQ(HALibGetNodeID_IN("ABCD7"), 1);
    EXPECT_EQ(HALibGetNodeID_IN("ABCDX"), 0);
    EXPECT_EQ(HALibGetNodeID_IN(""), 0);
    EXPECT_EQ(HALibGetNodeID_IN("AB"), 0);

    NetTable t({"NODEA", "NODE", "G"}, {"NODEB", "NODE", "G"});
    ASSERT_TRUE(t.ready());
    t.add(DEF_HAF_NET_CHG_INTR, {}, {"10.0.0.1", ""}, {"10.0.0.2", ""});
    HafLibIfIpAddr stNode;
    ASSERT_EQ(HALibGetNodeIntIP("NODEA", &stNode), 0);
    EXPECT_STREQ(stNode.cPIP1, "10.0.0.1");
}

TEST(HafNetAccess, CorruptCountsAndIndexesFindNothingInsteadOfReadingAstray) {
    NetTable t(kNode0, kNode1);
    ASSERT_TRUE(t.ready());
    fillFullTable(t);
    HafNetworkInformation &net = t.net();

    net.nMyNodeG = 40;
    EXPECT_EQ(ip(HALibGetIntVIP), "-1");
    EXPECT_EQ(ip(HALibGetVIP), "-1");
    net.nMyNodeG = 0;
    net.nMyNode = 5;
    EXPECT_EQ(ip(HALibGetIntLocalIP), "-1");
    net.nMyNode = 0;

    net.stNodeG[0].nPortGrpCnt = 1000;  // bounded to the ten groups there are
    net.stNodeG[0].stPG[3].stP[0].nPortCnt = 1000;
    EXPECT_EQ(ip(HALibGetIntLocalIP), "10.3.0.1");
    net.nNodeGCnt = 1000;  // bounded to the 32 node groups
    auto pList = std::make_unique<HafLibIfIpAddrList>();
    EXPECT_EQ(HALibGetNodeIntIPList(pList.get()), 2);

    // A host text filling its whole field is copied no further than the field.
    memset(net.stNodeG[0].stPG[3].stV.stPortD[0].host, 'x', 64);
    char szIP[128];
    ASSERT_EQ(HALibGetIntVIP(sizeof(szIP), szIP), 0);
    EXPECT_EQ(std::string(szIP), std::string(64, 'x'));
}
