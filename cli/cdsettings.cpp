#include "cli/cdsettings.h"

#include "cli/folders.h"

namespace tw {

TcdSettings::TcdSettings()
    : SavePath(DocumentsFolder() + "/Morvatch Images/"), Applocation(ProgramFileName()) {}

const TPropTable& TcdSettings::Properties() const {
    static const TPropTable table = [] {
        TPropTable t = BaseProperties();
        using S = TcdSettings;
        t.insert(t.end(), {
                              TextProp("LogDir", &S::LogDir),
                              TextProp("Indir", &S::Indir),
                              TextProp("OutDir", &S::OutDir),
                              BoolProp("SubDir", &S::SubDir),
                              BoolProp("CheckResize", &S::CheckResize),
                              BoolProp("cropselect", &S::cropselect),
                              BoolProp("Shrinkimg", &S::Shrinkimg),
                              BoolProp("Fitimg", &S::Fitimg),
                              TextProp("ResampleFilter", &S::ResampleFilter),
                              IntProp("sWidth", &S::sWidth),
                              IntProp("sHeight", &S::sHeight),
                              IntProp("ComboxIdx", &S::ComboxIdx),
                              BoolProp("CheckFlip", &S::CheckFlip),
                              BoolProp("DegClockWise", &S::DegClockWise),
                              BoolProp("CounterClockWise", &S::CounterClockWise),
                              BoolProp("Degrees", &S::Degrees),
                              BoolProp("Horizontally", &S::Horizontally),
                              BoolProp("Vertically", &S::Vertically),
                              TextProp("SavePath", &S::SavePath),
                              IntProp("OutFormat", &S::OutFormat),
                              BoolProp("MOriginalTitle", &S::MOriginalTitle),
                              BoolProp("MOriginal", &S::MOriginal),
                              BoolProp("MGenerate", &S::MGenerate),
                              TextProp("MPrefix", &S::MPrefix),
                              IntProp("MStep", &S::MStep),
                              IntProp("MEveryStep", &S::MEveryStep),
                              TextProp("Applocation", &S::Applocation),
                          });
        return t;
    }();
    return table;
}

TcdSettings& GlobalSettings() {
    // Deliberately never destroyed: the program ends through its exit routine.
    static TcdSettings& settings = *[] {
        auto* s = new TcdSettings;
        s->RegistryKey = kSettingsKey;
        s->Load();
        return s;
    }();
    return settings;
}

} // namespace tw
