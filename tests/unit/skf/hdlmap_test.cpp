// Handle map edge cases, table-driven: each case is a list of operations on a
// fresh map with the handle (or found/not found) each must give.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "skf/hdlmap.h"

namespace {

void* const kDev = reinterpret_cast<void*>(0x1000);
void* const kDev2 = reinterpret_cast<void*>(0x2000);

enum class Op { SetName, SetId, Info, NameOf, DelName, DelHdl };

struct Step {
    Op op;
    int type;
    std::string name;  // SetName/DelName/NameOf (expected name)
    void* parent;
    unsigned short id;
    uintptr_t handle;  // input for Info/NameOf/DelHdl
    uintptr_t expect;  // handle returned, or 1/0 for found/not found
    unsigned short expectId = 0;
};

struct Case {
    const char* what;
    std::vector<Step> steps;
};

void run(const Case& c) {
    SCOPED_TRACE(c.what);
    hdlResetForTest();
    int n = 0;
    for (const Step& s : c.steps) {
        SCOPED_TRACE(n++);
        switch (s.op) {
            case Op::SetName:
                EXPECT_EQ(reinterpret_cast<uintptr_t>(
                              setHdlName(s.type, s.name.c_str(), s.parent, s.id, 64)),
                          s.expect);
                break;
            case Op::SetId:
                EXPECT_EQ(reinterpret_cast<uintptr_t>(setHdlID(s.type, s.id, s.parent, 5)),
                          s.expect);
                break;
            case Op::Info: {
                unsigned short id = 0;
                void* parent = nullptr;
                unsigned int aux = 0;
                const int found =
                    getHdlInfo(s.type, reinterpret_cast<void*>(s.handle), id, parent, &aux);
                EXPECT_EQ(static_cast<uintptr_t>(found), s.expect);
                if (found) {
                    EXPECT_EQ(id, s.expectId);
                    EXPECT_EQ(parent, s.parent);
                }
                break;
            }
            case Op::NameOf: {
                char name[65] = {};
                void* parent = nullptr;
                const int found = getHdlName(reinterpret_cast<void*>(s.handle), name, parent);
                EXPECT_EQ(static_cast<uintptr_t>(found), s.expect);
                if (found) {
                    EXPECT_EQ(std::string(name), s.name);
                }
                break;
            }
            case Op::DelName:
                delHdlName(s.type, s.name.c_str(), s.parent, 64);
                break;
            case Op::DelHdl:
                delbyHdl(reinterpret_cast<void*>(s.handle));
                break;
        }
    }
}

Step setName(int type, const char* name, void* parent, unsigned short id, uintptr_t expect) {
    return {Op::SetName, type, name, parent, id, 0, expect};
}
Step info(int type, uintptr_t h, uintptr_t found, void* parent = nullptr, unsigned short id = 0) {
    return {Op::Info, type, "", parent, 0, h, found, id};
}
Step nameOf(uintptr_t h, const char* name, uintptr_t found) {
    return {Op::NameOf, 0, name, nullptr, 0, h, found};
}
Step delHdl(uintptr_t h) {
    return {Op::DelHdl, 0, "", nullptr, 0, h, 0};
}
Step delName(int type, const char* name, void* parent) {
    return {Op::DelName, type, name, parent, 0, 0, 0};
}

std::vector<Step> fillAll(int type) {
    std::vector<Step> v;
    for (int i = 0; i < 16; ++i) {
        const std::string n = "obj" + std::to_string(i);
        v.push_back({Op::SetName, type, n, kDev, static_cast<unsigned short>(0x100 + i), 0,
                     static_cast<uintptr_t>(i + 1)});
    }
    return v;
}

TEST(HdlMapTest, EdgeCases) {
    std::vector<Step> full = fillAll(HDL_APP);
    std::vector<Step> evict = full;
    evict.push_back(setName(HDL_APP, "newcomer", kDev, 0x999, 1));
    evict.push_back(nameOf(1, "newcomer", 1));
    evict.push_back(info(HDL_APP, 1, 1, kDev, 0x999));
    evict.push_back(nameOf(2, "obj1", 1));
    // The former holder of handle 1 is gone: opening it again takes a new slot
    // only if one is free; here it evicts the newcomer.
    evict.push_back(setName(HDL_APP, "obj0", kDev, 0, 1));
    evict.push_back(nameOf(1, "obj0", 1));

    std::vector<Step> idFull;
    for (int i = 0; i < 16; ++i) {
        idFull.push_back({Op::SetId, HDL_SESSIONKEY, "", kDev, static_cast<unsigned short>(i + 1),
                          0, static_cast<uintptr_t>(i + 1)});
    }
    idFull.push_back({Op::SetId, HDL_SESSIONKEY, "", kDev, 99, 0, 0});  // full: 0
    idFull.push_back({Op::SetId, HDL_SESSIONKEY, "", kDev, 3, 0, 3});   // same object: same handle

    const Case cases[] = {
        {"A then B get 1 and 2; closing A frees 1 for the next object",
         {setName(HDL_APP, "A", kDev, 0x3F00, 1), setName(HDL_APP, "B", kDev, 0x3F01, 2), delHdl(1),
          info(HDL_APP, 1, 0), setName(HDL_CONTAINER, "C", (void*)2, 1, 1),
          info(HDL_CONTAINER, 1, 1, (void*)2, 1)}},
        {"opening the same name again refreshes the same record",
         {setName(HDL_APP, "A", kDev, 0x3F00, 1), setName(HDL_APP, "A", kDev, 0x3F05, 1),
          info(HDL_APP, 1, 1, kDev, 0x3F05)}},
        {"a stored name that begins with the given name matches",
         {setName(HDL_APP, "AB", kDev, 0x10, 1), setName(HDL_APP, "A", kDev, 0x11, 1),
          nameOf(1, "AB", 1)}},
        {"a longer given name does not match a shorter stored one",
         {setName(HDL_APP, "A", kDev, 0x10, 1), setName(HDL_APP, "AB", kDev, 0x11, 2)}},
        {"same identifier matches even under another name",
         {setName(HDL_APP, "A", kDev, 0x10, 1), setName(HDL_APP, "Z", kDev, 0x10, 1),
          nameOf(1, "Z", 1)}},
        {"another parent is another object",
         {setName(HDL_APP, "A", kDev, 0x10, 1), setName(HDL_APP, "A", kDev2, 0x10, 2)}},
        {"types share one number space and lookups check the type",
         {setName(HDL_APP, "A", kDev, 0x10, 1), setName(HDL_CONTAINER, "A", (void*)1, 0x10, 2),
          info(HDL_CONTAINER, 1, 0), info(HDL_APP, 2, 0), info(HDL_APP, 1, 1, kDev, 0x10),
          nameOf(2, "A", 1)}},
        {"delbyHdl outside 1..16 changes nothing",
         {setName(HDL_APP, "A", kDev, 0x10, 1), delHdl(0), delHdl(17),
          info(HDL_APP, 1, 1, kDev, 0x10)}},
        {"lookups of 0, 17 and free records fail",
         {info(HDL_APP, 0, 0), info(HDL_APP, 17, 0), info(HDL_APP, 3, 0), nameOf(3, "", 0)}},
        {"delete by name needs type, parent and name",
         {setName(HDL_CONTAINER, "C1", (void*)1, 7, 1), delName(HDL_CONTAINER, "C1", (void*)2),
          delName(HDL_APP, "C1", (void*)1), info(HDL_CONTAINER, 1, 1, (void*)1, 7),
          delName(HDL_CONTAINER, "C1", (void*)1), info(HDL_CONTAINER, 1, 0)}},
        {"a full map evicts record 0 for a new name", evict},
        {"setHdlID returns 0 when full and reuses an identical record", idFull},
    };
    for (const Case& c : cases)
        run(c);
}

TEST(HdlMapTest, NamesLongerThan64AreCut) {
    hdlResetForTest();
    const std::string longName(80, 'x');
    void* h = setHdlName(HDL_APP, longName.c_str(), kDev, 1, 64);
    char name[65] = {};
    void* parent = nullptr;
    ASSERT_EQ(getHdlName(h, name, parent), 1);
    EXPECT_EQ(std::string(name), std::string(64, 'x'));
    EXPECT_EQ(parent, kDev);
}

}  // namespace
