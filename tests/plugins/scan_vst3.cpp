// A VST3 bundle for examination tests. SCAN_KIND picks its behaviour:
//   SCAN_FX     effect classes of every kind the probe tells apart (factory 3)
//   SCAN_SYNTH  an instrument only (factory 2)
//   SCAN_CRASH  dies by a signal in GetPluginFactory
//   SCAN_HANG   never returns from ModuleEntry
//   SCAN_EXIT   calls exit(3) in GetPluginFactory
//   SCAN_EMPTY  a factory without classes
//   SCAN_NOUNICODE  the SCAN_FX classes, but getClassInfoUnicode fails
//   SCAN_EXITHANG   the SCAN_FX classes, but ModuleExit never returns
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/vst3/vst3_factory.h"

#define SCAN_FX 1
#define SCAN_SYNTH 3
#define SCAN_CRASH 4
#define SCAN_HANG 5
#define SCAN_EXIT 6
#define SCAN_EMPTY 7
#define SCAN_NOUNICODE 8
#define SCAN_EXITHANG 9

using namespace Steinberg;

namespace {

struct ClassDef {
  Uid cid;
  const char* category;
  const char16_t* name;
  const char* subCategories;
  const char16_t* vendor;
  const char16_t* version;
};

#if SCAN_KIND == SCAN_FX || SCAN_KIND == SCAN_NOUNICODE || SCAN_KIND == SCAN_EXITHANG
constexpr ClassDef kClasses[] = {
    {makeUid(0x4B52564C, 0x0A0B0C0D, 0x01020304, 0xA1B2C3D4), kVstAudioEffectClass, u"Scan Delay \u00fc", "Fx|Delay",
     u"", u"1.0.0"},
    {makeUid(0x4B52564C, 0x0A0B0C0D, 0x01020304, 0xA1B2C3D5), kVstComponentControllerClass, u"Scan Delay Controller",
     "", u"", u"1.0.0"},
    {makeUid(0x4B52564C, 0x0A0B0C0D, 0x01020304, 0xA1B2C3D6), kVstAudioEffectClass, u"Scan Fx Instrument",
     "Fx|Instrument", u"Other Vendor", u"2.0"},
    {makeUid(0x4B52564C, 0x0A0B0C0D, 0x01020304, 0xA1B2C3D7), kVstAudioEffectClass, u"Scan Analyzer", "Analyzer",
     u"", u"3"},
    {makeUid(0x4B52564C, 0x0A0B0C0D, 0x01020304, 0xA1B2C3D8), kVstAudioEffectClass, u"Scan Synth",
     "Instrument|Synth", u"", u"1.0.0"},
};
constexpr int32 kClassCount = 5;
#elif SCAN_KIND == SCAN_SYNTH
constexpr ClassDef kClasses[] = {
    {makeUid(0x4B52564C, 0x0A0B0C0E, 0x01020304, 0xB1B2C3D4), kVstAudioEffectClass, u"Lone Synth",
     "Instrument|Synth", u"", u"1.0.0"},
};
constexpr int32 kClassCount = 1;
#else
constexpr ClassDef kClasses[] = {{}};
constexpr int32 kClassCount = 0;
#endif

template <size_t N>
void copyText(char8 (&to)[N], const char* from) {
  std::strncpy(to, from, N - 1);
  to[N - 1] = 0;
}

template <size_t N>
void copyText(char16 (&to)[N], const char16_t* from) {
  size_t i = 0;
  for (; i + 1 < N && from[i]; ++i) to[i] = from[i];
  to[i] = 0;
}

template <size_t N>
void narrow(char8 (&to)[N], const char16_t* from) {
  size_t i = 0;
  for (; i + 1 < N && from[i]; ++i) to[i] = from[i] < 0x80 ? static_cast<char8>(from[i]) : '?';
  to[i] = 0;
}

class Factory final : public IPluginFactory3 {
 public:
  tresult queryInterface(const TUID iid, void** obj) override {
    const bool v3 = SCAN_KIND != SCAN_SYNTH;
    if (FUnknown::iid.matches(iid) || IPluginFactory::iid.matches(iid) || IPluginFactory2::iid.matches(iid) ||
        (v3 && IPluginFactory3::iid.matches(iid))) {
      addRef();
      *obj = this;
      return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
  }
  uint32 addRef() override { return ++refs_; }
  uint32 release() override { return --refs_; }  // a static object, never freed

  tresult getFactoryInfo(PFactoryInfo* info) override {
    std::memset(info, 0, sizeof *info);
    copyText(info->vendor, "Krevlo Tests");
    copyText(info->url, "https://example.invalid");
    copyText(info->email, "tests@example.invalid");
    info->flags = PFactoryInfo::kUnicode;
    return kResultOk;
  }
  int32 countClasses() override { return kClassCount; }
  tresult getClassInfo(int32 index, PClassInfo* info) override {
    if (index < 0 || index >= kClassCount) return kInvalidArgument;
    std::memset(info, 0, sizeof *info);
    std::memcpy(info->cid, kClasses[index].cid.bytes, 16);
    info->cardinality = PClassInfo::kManyInstances;
    copyText(info->category, kClasses[index].category);
    narrow(info->name, kClasses[index].name);
    return kResultOk;
  }
  tresult createInstance(FIDString, FIDString, void** obj) override {
    *obj = nullptr;
    return kNotImplemented;
  }
  tresult getClassInfo2(int32 index, PClassInfo2* info) override {
    if (index < 0 || index >= kClassCount) return kInvalidArgument;
    const ClassDef& c = kClasses[index];
    std::memset(info, 0, sizeof *info);
    std::memcpy(info->cid, c.cid.bytes, 16);
    info->cardinality = PClassInfo::kManyInstances;
    copyText(info->category, c.category);
    narrow(info->name, c.name);
    copyText(info->subCategories, c.subCategories);
    narrow(info->vendor, c.vendor);
    narrow(info->version, c.version);
    copyText(info->sdkVersion, "VST 3.7.14");
    return kResultOk;
  }
  tresult getClassInfoUnicode(int32 index, PClassInfoW* info) override {
    if (SCAN_KIND == SCAN_NOUNICODE || index < 0 || index >= kClassCount) return kInvalidArgument;
    const ClassDef& c = kClasses[index];
    std::memset(info, 0, sizeof *info);
    std::memcpy(info->cid, c.cid.bytes, 16);
    info->cardinality = PClassInfo::kManyInstances;
    copyText(info->category, c.category);
    copyText(info->name, c.name);
    copyText(info->subCategories, c.subCategories);
    copyText(info->vendor, c.vendor);
    copyText(info->version, c.version);
    copyText(info->sdkVersion, u"VST 3.7.14");
    return kResultOk;
  }
  tresult setHostContext(FUnknown*) override { return kResultOk; }

 private:
  uint32 refs_ = 0;
};

Factory factory;

}  // namespace

extern "C" {

__attribute__((visibility("default"))) bool ModuleEntry(void*) {
#if SCAN_KIND == SCAN_HANG
  for (;;) pause();
#endif
  return true;
}

__attribute__((visibility("default"))) bool ModuleExit() {
#if SCAN_KIND == SCAN_EXITHANG
  for (;;) pause();
#endif
  return true;
}

__attribute__((visibility("default"))) IPluginFactory* GetPluginFactory() {
#if SCAN_KIND == SCAN_CRASH
  __builtin_trap();  // SIGILL, which no sanitizer runtime intercepts
#elif SCAN_KIND == SCAN_EXIT
  std::exit(3);
#endif
  factory.addRef();
  return &factory;
}
}
