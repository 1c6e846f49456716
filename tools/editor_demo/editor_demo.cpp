// Shows the editor control alone, for trying keys, mouse and drop list by hand.
//   kalvex_editor_demo --zelkmemo [file]
// Without the switch it only says how it is called.
#include <QApplication>
#include <cstdio>
#include <cstring>
#include <string>

#include "editor/zelk_memo.h"
#include "util/read_file.h"

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--zelkmemo") != 0) {
    std::printf("kalvex_editor_demo: nothing to do\n");
    return 0;
  }
  QApplication app(argc, argv);
  kalvex::TZelkMemo memo;
  memo.setWindowTitle("TZelkMemo");
  memo.resize(640, 400);
  memo.GutterOptions().SetShowLineNum(true);
  memo.SetRightEdge(true);
  memo.SetScrollbars(kalvex::sbBoth);
  memo.SetDropListItems({"GM On|F0 7E 7F 09 01 F7|F0 7E 7F 09 01 F7",
                         "Identity|F0 7E 7F 06 01 F7|F0 7E 7F 06 01 F7"});
  if (argc > 2) {
    kalvex::TFileBytes bytes;
    if (kalvex::ReadRegularFile(argv[2], bytes) != kalvex::TReadStatus::kOk) {
      std::fprintf(stderr, "Cannot open %s\n", argv[2]);
      return 1;
    }
    memo.Lines().SetText(std::string_view(bytes.chars(), bytes.size));
  } else {
    memo.Lines().SetText(
        "; a comment line\r\nF0 43 10 4C 00 00 7E 00 F7\r\n\tF0 7E 7F 06 01 F7\r\n90 3C 64\r\n80 3C 00");
  }
  memo.show();
  return app.exec();
}
