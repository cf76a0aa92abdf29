#include "app/form_create.h"

#include <gtest/gtest.h>

#include "core/errors.h"
#include "support/fake_window.h"

namespace zepr {
namespace {

using testing::FakeWindow;
using Strings = std::vector<std::string>;
constexpr auto kSteps = StepList::kJvInstallLabel1;

TEST(SplitToList, ItemRules) {
  struct Case {
    std::string text;
    Strings items;
  };
  for (const Case& c : std::vector<Case>{{"a,,b", {"a", "b"}},
                                         {"a,b,", {"a", "b", ""}},
                                         {"", {""}},
                                         {",a", {"a"}},
                                         {"srv,usr,,db", {"srv", "usr", "db"}}}) {
    EXPECT_EQ(SplitToList(c.text, ','), c.items) << c.text;
  }
}

TEST(ConnectionText, EscapesDecodeAfterSplittingAndEncodeBack) {
  const Strings items = DecodeConnectionText("127.0.0.17891+1433,sa,p7891+w7893+7890+7892+,db");
  EXPECT_EQ(items, (Strings{"127.0.0.1,1433", "sa", "p,w%&\"", "db"}));
  EXPECT_EQ(DecodeConnectionText(EncodeConnectionList(items)), items);
  EXPECT_TRUE(DecodeConnectionText("x").empty());
}

struct Started {
  VirtualClock clock;
  FakeWindow window{clock};
  RunParams run;
  explicit Started(const Strings& params) { FormCreate(params, "dl.example:81", run, window); }
  Strings Lines() const {
    Strings out;
    for (const auto& l : window.Lines(kSteps)) out.push_back(l.text);
    return out;
  }
};

TEST(FormCreate, CommonFieldsHeaderAndTypeLine) {
  Started s({"Moja App", "SEC", "App", "KLIJENT", "3", "srv,u,p,db", "1"});
  EXPECT_EQ(s.window.Header(), " >Nadogradnja aplikacije Moja App");
  EXPECT_EQ(s.window.Label2(), "tip: 3");
  EXPECT_EQ(s.run.AppSection, "SEC");
  EXPECT_EQ(s.run.AppExeName, "App");
  EXPECT_EQ(s.run.ClientFolder, "KLIJENT");
  EXPECT_EQ(s.run.SiteUrl, "http://dl.example:81/download/_UPDATE/update.php?file=KLIJENT/SEC/");
  EXPECT_EQ(s.run.CommonSiteUrl, "http://dl.example:81/download/_UPDATE/update.php?file=_SVI/SEC/");
  EXPECT_EQ(s.run.ConnectionList, (Strings{"srv", "u", "p", "db"}));
  EXPECT_EQ(s.Lines(), (Strings{"Spajam se na internet server", "Skidam Update.zip datoteke",
                                "Raspakiravam", "Instaliram"}));
  EXPECT_FALSE(s.window.StatisticsVisible());
  EXPECT_EQ(s.window.CheckBox(3).caption, "prikaz grešaka (L)");
  EXPECT_TRUE(s.window.CheckBox(3).visible);
  EXPECT_FALSE(s.window.CheckBox(3).checked);
}

// One row per case of the start-up table: parameters in, the run values out.
TEST(FormCreate, ParametersPerType) {
  struct Case {
    Strings params;
    std::string share, connection, raise, last_run, child_type, child_run, args, script, mode;
    size_t items;
    bool urls;
  };
  const std::vector<Case> cases = {
      // type 3 with "x": no connection, URLs composed, RaiseMinVersion not normalised
      {{"T", "S", "E", "F", "3", "x", "1"}, "", "", "1", "1", "6", "0", "", "", "", 0, true},
      {{"T", "S", "E", "F", "3", "x", "yes"}, "", "", "yes", "1", "6", "0", "", "", "", 0, true},
      {{"T", "S", "E", "", "3", "x"}, "", "", "", "1", "6", "0", "", "", "", 0, false},
      {{"T", "", "E", "F", "4", "/sh"}, "/sh/", "", "", "1", "6", "0", "", "", "", 1, false},
      {{"T", "S", "E", "F", "2", "/share/", "s,u,p,d", "a,b"},
       "/share/",
       "s,u,p,d",
       "",
       "1",
       "6",
       "0",
       "a,b",
       "",
       "",
       4,
       false},
      {{"T", "S", "E", "F", "2", ""}, "/", "", "", "1", "6", "0", "", "", "", 1, false},
      {{"T", "S", "E", "F", "4", "/s", "c", "skripta.sql", "SU"},
       "/s/",
       "c",
       "",
       "1",
       "6",
       "0",
       "",
       "skripta.sql",
       "SU",
       1,
       true},
      {{"T", "S", "E", "F", "6", "x", "s,u,p,d", "yes", "0", "0"},
       "",
       "s,u,p,d",
       "0",
       "0",
       "6",
       "0",
       "",
       "",
       "",
       4,
       true},
      {{"T", "S", "E", "F", "6", "/s", "s,u,p,d", "1", "1"},
       "/s/",
       "s,u,p,d",
       "1",
       "1",
       "6",
       "0",
       "",
       "",
       "",
       4,
       true},
      {{"T", "S", "E", "F", "7", "/s", "c", "1", "G"},
       "/s/",
       "c",
       "1",
       "1",
       "6",
       "0",
       "",
       "",
       "",
       1,
       true},
      {{"T", "S", "E", "F", "7", "/s", "c", "1", "G", "3"},
       "/s/",
       "c",
       "1",
       "1",
       "3",
       "0",
       "",
       "",
       "",
       1,
       true},
      {{"T", "S", "E", "F", "8", "c", "", "yes"},
       "",
       "c",
       "yes",
       "1",
       "6",
       "0",
       "",
       "",
       "",
       1,
       false},
      {{"T", "S", "E", "F", "8", "c", "1"}, "", "c", "", "1", "6", "1", "", "", "", 1, false},
      {{"T", "S", "E", "F", "1", "c,d"}, "", "c,d", "", "1", "6", "0", "", "", "", 2, false},
  };
  for (const auto& c : cases) {
    Started s(c.params);
    const std::string where = "type " + c.params[4] + " row " + std::to_string(&c - &cases[0]);
    EXPECT_EQ(s.run.ShareFolder, c.share) << where;
    EXPECT_EQ(s.run.ConnectionText, c.connection) << where;
    EXPECT_EQ(s.run.ConnectionList.size(), c.items) << where;
    EXPECT_EQ(s.run.RaiseMinVersion, c.raise) << where;
    EXPECT_EQ(s.run.LastRun, c.last_run) << where;
    EXPECT_EQ(s.run.ChildUpdateType, c.child_type) << where;
    EXPECT_EQ(s.run.ChildRun, c.child_run) << where;
    EXPECT_EQ(s.run.AppArguments, c.args) << where;
    EXPECT_EQ(s.run.ScriptFileName, c.script) << where;
    EXPECT_EQ(s.run.ScriptMode, c.mode) << where;
    EXPECT_EQ(!s.run.SiteUrl.empty(), c.urls) << where;
    EXPECT_EQ(s.run.SiteUrl.empty(), s.run.CommonSiteUrl.empty()) << where;
  }
}

TEST(FormCreate, StepListsCheckBoxesAndPlacementPerType) {
  {
    Started s({"T", "S", "E", "F", "6", "x", "c"});
    EXPECT_EQ(s.Lines(), Strings{"Izvršavam SQL update"});
    EXPECT_FALSE(s.window.GetPlacement().centred);
    EXPECT_EQ(s.window.GetPlacement().left, 200);
    EXPECT_EQ(s.window.GetPlacement().top, MainWindow::kHeight + 10);
  }
  {
    Started s({"T", "S", "E", "F", "7"});
    EXPECT_EQ(s.Lines(), Strings{"Izvršavam update tip 6 na radnim bazama iz popisa"});
    EXPECT_EQ(s.window.GetPlacement().top, 10);
    EXPECT_EQ(s.window.GetPlacement().left, 200);
  }
  {
    Started s({"T", "S", "E", "F", "8", "c"});
    EXPECT_EQ(s.Lines(), (Strings{"Instaliram update", "Dekompresiram", "Instaliram"}));
    EXPECT_TRUE(s.window.GetPlacement().centred);
  }
  {
    Started s({"T", "S", "E", "F", "4", "/s", "c", "a.sql", "U"});
    EXPECT_EQ(s.Lines().size(), 3u);
    EXPECT_TRUE(s.window.CheckBox(1).visible && !s.window.CheckBox(1).checked);
    EXPECT_TRUE(s.window.CheckBox(2).visible && s.window.CheckBox(2).checked);
    EXPECT_TRUE(s.window.CheckBox(3).visible && s.window.CheckBox(3).checked);
    EXPECT_EQ(s.window.CheckBox(3).caption, "izvršiti skriptu (S)");
  }
  {
    Started s({"T", "S", "E", "F", "5", "/s"});
    EXPECT_EQ(s.Lines(), Strings{"Skidam UpdateSpec.zip datoteku na naš server"});
    EXPECT_TRUE(s.window.CheckBox(1).visible);
    EXPECT_FALSE(s.window.CheckBox(3).visible);
  }
  {
    Started s({"T", "S", "E", "F", "1"});  // no connection: design lines, box stays hidden
    EXPECT_EQ(s.Lines(), DesignTimeSteps());
    EXPECT_TRUE(s.window.StatisticsVisible());
    EXPECT_FALSE(s.window.CheckBox(3).visible);
    EXPECT_FALSE(s.window.CheckBox(3).checked);
  }
  for (const char* type : {"0", "9"}) {
    Started s({"T", "S", "E", "F", type});
    EXPECT_EQ(s.Lines(), DesignTimeSteps());
    EXPECT_EQ(s.window.Label2(), std::string("tip: ") + type);
  }
}

TEST(FormCreate, ParameterFiveNotAnIntegerRaisesAfterTheHeader) {
  VirtualClock clock;
  FakeWindow window(clock);
  RunParams run;
  try {
    FormCreate({"T", "S", "E", "F", "tri"}, "h", run, window);
    FAIL();
  } catch (const UpdateError& e) {
    EXPECT_STREQ(e.what(), "'tri' is not a valid integer value");
  }
  EXPECT_EQ(window.Header(), " >Nadogradnja aplikacije T");
  EXPECT_EQ(run.UpdateType, 0);
  EXPECT_EQ(window.Lines(kSteps).size(), DesignTimeSteps().size());
  EXPECT_EQ(window.Label2(), "");
}

}  // namespace
}  // namespace zepr
