// Section resolution: a dotted header name walked component by component
// through the tree, with the group sections of "smtpscan" held per group.
#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "config_internal.h"
#include "log.h"

using namespace ornix_config;

namespace {

enum class Link { Child, Sibling, Root, Group };

std::vector<SSP *> detached;   // unreachable nodes made by the read in progress

SSP *new_section(SSP *to, const char *name, int level, int type, Link how) {
  if (type == 0) return nullptr;   // lookups never create
  SSP *s = static_cast<SSP *>(calloc(1, sizeof(SSP)));
  if (s == nullptr) return nullptr;
  s->SectionName = strdup(name);
  if (s->SectionName == nullptr) {
    free(s);
    return nullptr;
  }
  s->SectionLevel = level;
  switch (how) {
    case Link::Child: to->LowerLevelSectionList = s; break;
    case Link::Sibling: to->next = s; break;
    case Link::Root:
      if (SetSectionList != nullptr) detached.push_back(s);
      break;
    case Link::Group: break;   // the caller stores it in the group
  }
  MsgLog(OrnixLog, 16384, "[DEBUG] create new section table: upper=%x,addr=%x,name=%s,level=%d\n",
         ptr32(to), ptr32(s), s->SectionName, level);
  if (SetSectionList == nullptr && how == Link::Root) SetSectionList = s;
  return s;
}

// Whether the component names one of the per-group sections; *slot is then
// the group's list of it (null without a group).
bool group_slot(GRP *g, const char *component, SSP ***slot) {
  struct Slot {
    const char *name;
    SSP *GRP::*list;
  };
  static const Slot slots[] = {
      {"group", &GRP::GroupSectionList},   {"filter", &GRP::FilterSectionList},
      {"action", &GRP::ActionSectionList}, {"notify", &GRP::NotifySectionList},
      {"spam", &GRP::SpamSectionList},     {"spam_action", &GRP::SpamActionSectionList},
      {"spam_notify", &GRP::SpamNotifySectionList}, {"wbl", &GRP::WBLSectionList},
  };
  for (const Slot &s : slots) {
    if (strcasecmp(component, s.name) == 0) {
      *slot = g != nullptr ? &(g->*s.list) : nullptr;
      return true;
    }
  }
  return false;
}

bool holds(SSP *tree, SSP *wanted) {
  for (SSP *s = tree; s != nullptr; s = s->next) {
    if (s == wanted || holds(s->LowerLevelSectionList, wanted)) return true;
  }
  return false;
}

}  // namespace

namespace ornix_config {

void release_detached() {
  for (SSP *s : detached) {
    if (CurrentSection != nullptr && holds(s, CurrentSection)) CurrentSection = nullptr;
    clear_section(s);
  }
  detached.clear();
}

}  // namespace ornix_config

static SSP *search_ss(GRP *group, SSP *node, const char *name, int level, int type, bool aware) {
  MsgLog(OrnixLog, 32768, "[DEBUG] search_ss: G=%x,SSP=%x,N=%s,L=%d,F=%d\n", ptr32(group),
         ptr32(node), name, level, aware ? 1 : 0);
  if (aware && level == 1) {
    if (group != nullptr) MsgLog(OrnixLog, 32768, "group name: %s\n", group->GroupName);
    MsgLog(OrnixLog, 32768, "group section: [smtpscan.%s]\n", name);
    SSP **slot = nullptr;
    if (group_slot(group, name, &slot)) {
      if (slot == nullptr) return nullptr;
      if (*slot == nullptr) {
        *slot = new_section(nullptr, name, level, type, Link::Group);
        return *slot;
      }
      node = *slot;
    }
  }
  if (node == nullptr) return new_section(nullptr, name, level, type, Link::Root);

  SSP *last = node;
  for (SSP *cur = node; cur != nullptr;) {
    last = cur;
    if (cur->SectionLevel == level) {
      if (strcasecmp(cur->SectionName, name) == 0) return cur;
      cur = cur->next;
    } else {
      cur = cur->LowerLevelSectionList;
    }
  }
  return new_section(last, name, level, type,
                     last->SectionLevel != level ? Link::Child : Link::Sibling);
}

SSP *parse_section(GRP *group, const char *name, int type, SSP *list) {
  MsgLog(OrnixLog, 32768, "[DEBUG] parse_section: G=%x,S=%s,T=%d\n", ptr32(group),
         name ? name : "(null)", type);
  if (name == nullptr) return nullptr;
  std::vector<std::string> comps;
  int split = split_section(name, true, comps);
  if (split != 0) {
    if (type == 1 && split == -1)
      config_error(2, "Section name too long (at most %zu characters): [%.64s...]\n", kMaxSectionName, name);
    else if (type == 1)
      config_error(2, "Section name has too many parts (at most %zu): [%.64s...]\n", kMaxComponents, name);
    return nullptr;
  }
  if (comps.empty()) return nullptr;
  bool aware = strcasecmp(comps[0].c_str(), "smtpscan") == 0;
  SSP *node = list;
  for (size_t i = 0; i < comps.size(); i++) {
    node = search_ss(group, node, comps[i].c_str(), static_cast<int>(i), type, aware);
    if (node == nullptr && i + 1 == comps.size()) return nullptr;
    if (node == nullptr && type == 0) return nullptr;
  }
  return node;
}
