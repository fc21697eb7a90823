#include "settings/settings_window.h"

#include "ui/main_window.h"

namespace kanade {

namespace {

struct Builder {
  Toolkit& toolkit;
  WindowHandle window;

  ControlHandle Add(ControlKind kind, Rect rect, std::string_view caption, FontHandle font = 0) {
    const ControlHandle control = toolkit.CreateControl(window, kind, rect, caption);
    if (font != 0) toolkit.SetFont(control, font);
    return control;
  }
  ControlHandle AddRed(ControlKind kind, Rect rect, std::string_view caption) {
    const ControlHandle control = Add(kind, rect, caption, DialogFont);
    toolkit.SetTextColour(control, kRed);
    return control;
  }
};

}  // namespace

void BuildSettingsWindow(int /*x*/, int /*y*/, int width, int height) {
  Toolkit* toolkit = GetToolkit();
  if (toolkit == nullptr) return;
  SettingsWindowControls c;
  c.Window = toolkit->OpenWindow(width, height, "Kanade Patcher 設定", false, MainWindow);
  if (c.Window == 0) return;
  Builder b{*toolkit, c.Window};
  using K = ControlKind;

  c.AboutBox = b.Add(K::kReadOnlyBox, {10, 10, 580, 120}, "", DialogFont);
  c.EnableLocalizationCheck =
      b.Add(K::kCheckBox, {20, 250, 170, 25}, "言語パッチを自動適用する", DialogFont);
  c.ModeConvTestOption =
      b.Add(K::kOptionButton, {50, 270, 250, 25}, "Kanade-ui+conv-fuzzy-loose を適用する");
  c.ModeConvTestNote = b.Add(K::kLabel, {70, 300, 270, 25}, "UI + 会話を含んだ翻訳パッチ");
  c.ModeTestOption =
      b.Add(K::kOptionButton, {50, 330, 250, 25}, "Kanade-ui-fuzzy-loose を適用する");
  c.ModeTestNote = b.Add(K::kLabel, {70, 360, 270, 25}, "UIのみの翻訳を含んだ翻訳パッチ");
  c.ModePrefixedOption =
      b.Add(K::kOptionButton, {50, 390, 250, 25}, "Kanade-ui+conv-fuzzy-prefixedを適用する");
  c.ModePrefixedNote =
      b.Add(K::kLabel, {70, 420, 270, 25}, "未翻訳のデータに識別用IDが付加された翻訳パッチ");
  c.PatchFrame = b.Add(K::kFrame, {10, 240, 340, 210}, "");
  c.LuaFrame = b.Add(K::kFrame, {360, 240, 230, 210}, "");
  c.EnableLuaCheck =
      b.Add(K::kCheckBox, {370, 250, 210, 25}, "リアルタイム翻訳Luaを自動適用する", DialogFont);
  toolkit->SetEnabled(c.EnableLuaCheck, false);
  c.TokenLabel =
      b.Add(K::kLabel, {370, 290, 180, 20}, "翻訳トークン (ユーザー識別用)：", DialogFont);
  c.TokenBox = b.Add(K::kEditableBox, {370, 310, 210, 100}, "", MonoFont);
  toolkit->SetEnabled(c.TokenBox, false);
  c.LuaWarningLine1 =
      b.AddRed(K::kLabelCentred, {370, 410, 210, 16}, "警告: リアルタイム翻訳を有効にした場合は");
  c.LuaWarningLine2 =
      b.AddRed(K::kLabelCentred, {370, 430, 210, 16}, "全ての会話データは翻訳サーバに送信されます");
  c.OkButton = b.Add(K::kPushButton, {490, 460, 100, 25}, "OK");
  toolkit->SetDefaultButton(c.OkButton);
  c.LocationFrame = b.Add(K::kFrame, {10, 140, 580, 95}, "");
  c.DetectionLabel = b.Add(K::kLabel, {20, 160, 70, 20}, "ゲーム検出：", DialogFont);
  c.InstalledLabel = b.Add(K::kLabel, {20, 188, 80, 20}, "インストール版：", DialogFont);
  c.SteamLabel = b.Add(K::kLabel, {20, 208, 80, 20}, "Steam版：", DialogFont);
  c.PreferSteamButton = b.Add(K::kPushButton, {450, 210, 130, 18}, "Steam版を優先", DialogFont);
  c.PreferInstalledButton =
      b.Add(K::kPushButton, {450, 190, 130, 18}, "インストール版を優先", DialogFont);
  // The fields start past "インストール版：", which is 88 to 91 pixels wide
  // in the dialog font: from x 90 they covered its last characters.
  c.SteamField = b.Add(K::kField, {114, 210, 326, 20}, "");
  c.InstalledField = b.Add(K::kField, {114, 190, 326, 20}, "");
  c.LocationField = b.Add(K::kField, {114, 160, 326, 20}, "");
  c.AutoDetectButton = b.Add(K::kPushButton, {450, 160, 60, 20}, "自動検出", DialogFont);
  c.BrowseButton = b.Add(K::kPushButton, {520, 160, 60, 20}, "参照...", DialogFont);
  c.NotImplementedLabel = b.AddRed(K::kLabel, {390, 273, 180, 16}, "※未実装です。まだ使えません。");
  SettingsWindow = c;
}

}  // namespace kanade
