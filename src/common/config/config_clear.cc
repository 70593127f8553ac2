// Releasing a tree.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "config_internal.h"
#include "log.h"

using namespace ornix_config;

// Lists are released from the last node to the first. The order is kept
// without recursion along a list, so a long section cannot exhaust the stack.
template <typename T>
static std::vector<T *> nodes_of(T *list) {
  std::vector<T *> v;
  for (T *p = list; p != nullptr; p = p->next) v.push_back(p);
  return v;
}

void clear_value(SSV *list) {
  std::vector<SSV *> v = nodes_of(list);
  for (auto it = v.rbegin(); it != v.rend(); ++it) {
    SSV *p = *it;
    if (p->ValueType == STR) {
      MsgLog(OrnixLog, 16384, "[DEBUG] Delete param:STR:0x%x(%s,0x%x)\n", ptr32(p), p->ParamName,
             ptr32(p->ParamValue));
    } else {
      int n = p->ParamValue ? static_cast<int>(*static_cast<uint64_t *>(p->ParamValue)) : 0;
      MsgLog(OrnixLog, 16384, "[DEBUG] Delete param:NUM:0x%x(%s,%d)\n", ptr32(p), p->ParamName, n);
      free(p->ParamText);   // a STR entry's text is its value
    }
    free(p->ParamName);
    free(p->ParamValue);
    free(p);
  }
}

void clear_section(SSP *list) {
  std::vector<SSP *> v = nodes_of(list);
  for (auto it = v.rbegin(); it != v.rend(); ++it) {
    SSP *s = *it;
    MsgLog(OrnixLog, 16384, "[DEBUG] Delete section:0x%x,%s\n", ptr32(s), s->SectionName);
    clear_section(s->LowerLevelSectionList);
    clear_value(s->SectionValueList);
    free(s->SectionName);
    free(s);
  }
}

void clear_group(GRP *list) {
  std::vector<GRP *> v = nodes_of(list);
  for (auto it = v.rbegin(); it != v.rend(); ++it) {
    GRP *g = *it;
    MsgLog(OrnixLog, 16384, "[DEBUG] Delete group:0x%x,%s\n", ptr32(g), g->GroupName);
    clear_section(g->GroupSectionList);
    clear_section(g->FilterSectionList);
    clear_section(g->ActionSectionList);
    clear_section(g->NotifySectionList);
    clear_section(g->SpamSectionList);
    clear_section(g->SpamActionSectionList);
    clear_section(g->SpamNotifySectionList);
    clear_section(g->WBLSectionList);
    free(g->GroupName);
    free(g->Senders);
    free(g->Recipients);
    free(g->UsersDB);
    free(g);
  }
}

void clear_config(SSP *sections, GRP *groups) {
  clear_section(sections);
  clear_group(groups);
}
