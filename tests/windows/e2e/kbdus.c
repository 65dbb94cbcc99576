/* A US keyboard layout DLL in the form of Windows' own kbdus.dll, for the tests' Wine prefix:
   GTK 3.24 reads its keymap from the layout DLL that the registry names for the layout in use,
   and Wine 8 ships none, so without one no key binding or mnemonic works. Letters, digits,
   punctuation and space, with Shift; the tests type nothing else. */
#include <windows.h>

typedef struct { BYTE Vk, ModBits; } VK_TO_BIT;
typedef struct { VK_TO_BIT *pVkToBit; WORD wMaxModBits; BYTE ModNumber[2]; } MODIFIERS;
typedef struct { BYTE VirtualKey, Attributes; WCHAR wch[2]; } VK_TO_WCHARS2;
typedef struct { VK_TO_WCHARS2 *pVkToWchars; BYTE nModifications, cbSize; } VK_TO_WCHAR_TABLE;
typedef struct {
  MODIFIERS *pCharModifiers;
  VK_TO_WCHAR_TABLE *pVkToWcharTable;
  void *pDeadKey, *pKeyNames, *pKeyNamesExt, *pKeyNamesDead;
  USHORT *pusVSCtoVK;
  BYTE bMaxVSCtoVK;
  void *pVSCtoVK_E0, *pVSCtoVK_E1;
  DWORD fLocaleFlags;
  BYTE nLgMax, cbLgEntry;
  void *pLigature;
  DWORD dwType, dwSubType;
} KBDTABLES;

static VK_TO_BIT bits[] = {{VK_SHIFT, 1}, {VK_CONTROL, 2}, {VK_MENU, 4}, {0, 0}};
static MODIFIERS modifiers = {bits, 1, {0, 1}};  /* base and Shift; Ctrl and Alt give no character */
static VK_TO_WCHARS2 keys[26 + 10 + 12 + 1];
static VK_TO_WCHAR_TABLE tables[] = {{keys, 2, sizeof(VK_TO_WCHARS2)}, {NULL, 0, 0}};
static KBDTABLES layout = {.pCharModifiers = &modifiers, .pVkToWcharTable = tables};

__declspec(dllexport) KBDTABLES *KbdLayerDescriptor(void) {
  static const BYTE oem[] = {VK_OEM_1, VK_OEM_PLUS, VK_OEM_COMMA, VK_OEM_MINUS, VK_OEM_PERIOD,
                             VK_OEM_2, VK_OEM_3, VK_OEM_4, VK_OEM_5, VK_OEM_6, VK_OEM_7, VK_SPACE};
  static const char oem_base[] = ";=,-./`[\\]' ", oem_shift[] = ":+<_>?~{|}\" ";
  static const char digit_shift[] = ")!@#$%^&*(";
  int n = 0, i;
  for (i = 0; i < 26; i++)
    keys[n++] = (VK_TO_WCHARS2){(BYTE)('A' + i), 1 /* CAPLOK */, {'a' + i, 'A' + i}};
  for (i = 0; i < 10; i++) keys[n++] = (VK_TO_WCHARS2){(BYTE)('0' + i), 0, {'0' + i, digit_shift[i]}};
  for (i = 0; i < 12; i++) keys[n++] = (VK_TO_WCHARS2){oem[i], 0, {oem_base[i], oem_shift[i]}};
  keys[n] = (VK_TO_WCHARS2){0, 0, {0, 0}};
  return &layout;
}
