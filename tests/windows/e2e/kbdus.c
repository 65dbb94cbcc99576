/* A US keyboard layout DLL like Windows' own kbdus.dll, for the tests' Wine prefix: GTK 3.24
   reads its keymap from the layout DLL the registry names, and Wine 8 has none (then no key
   binding or mnemonic works). Letters, digits, punctuation and space, with Shift. */
#include <windows.h>

typedef struct { BYTE vk, mod_bits; } VkToBit;
typedef struct { VkToBit *vk_to_bit; WORD max_mod_bits; BYTE mod_number[2]; } Modifiers;
typedef struct { BYTE vk, attributes; WCHAR wch[2]; } VkToWchars;
typedef struct { VkToWchars *entries; BYTE modifications, size; } VkToWcharTable;
typedef struct { Modifiers *modifiers; VkToWcharTable *tables; void *unused[10]; } KbdTables;

static VkToBit bits[] = {{VK_SHIFT, 1}, {VK_CONTROL, 2}, {VK_MENU, 4}, {0, 0}};
static Modifiers modifiers = {bits, 1, {0, 1}};  /* Ctrl and Alt make no character */
static VkToWchars keys[26 + 10 + 12 + 1];
static VkToWcharTable tables[] = {{keys, 2, sizeof(VkToWchars)}, {NULL, 0, 0}};
static KbdTables layout = {&modifiers, tables, {NULL}};

__declspec(dllexport) KbdTables *KbdLayerDescriptor(void) {
  static const BYTE oem[] = {VK_OEM_1, VK_OEM_PLUS, VK_OEM_COMMA, VK_OEM_MINUS, VK_OEM_PERIOD,
                             VK_OEM_2, VK_OEM_3, VK_OEM_4, VK_OEM_5, VK_OEM_6, VK_OEM_7, VK_SPACE};
  const char *base = "0123456789;=,-./`[\\]' ", *shifted = ")!@#$%^&*(:+<_>?~{|}\" ";
  int n = 0;
  for (int i = 0; i < 26; i++)
    keys[n++] = (VkToWchars){'A' + i, 1 /* Caps Lock */, {'a' + i, 'A' + i}};
  for (int i = 0; i < 22; i++)
    keys[n++] = (VkToWchars){i < 10 ? '0' + i : oem[i - 10], 0, {base[i], shifted[i]}};
  return &layout;
}
