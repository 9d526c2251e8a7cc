import java.io.BufferedReader;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.io.PrintStream;
import java.io.StringReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;

/**
 * Checks the demo server, first by calling its console handling directly,
 * then by starting the built jar as a child JVM and talking to it the way a
 * launcher does. Unix only: signals are sent with kill(1).
 *
 * Usage: java -cp server.jar:tests.jar DemoServerTest path/to/server.jar
 */
public final class DemoServerTest {

    private static final long TIMEOUT_MS = 30_000;

    private static int failures;
    private static int checks;
    private static String skipReason;

    public static void main(String[] args) throws Exception {
        if (args.length != 1) {
            System.err.println("usage: DemoServerTest <server.jar>");
            System.exit(2);
        }
        Path jar = Path.of(args[0]).toAbsolutePath();

        run("console commands", DemoServerTest::consoleCommands);
        run("console stops reading at stop", DemoServerTest::consoleStopsAtStop);
        run("banner format", DemoServerTest::bannerFormat);
        run("save writes the file once", DemoServerTest::saveWritesOnce);
        run("save failure is reported", DemoServerTest::saveFailureReported);
        run("jar: session ending with stop", () -> jarSessionWithStop(jar));
        run("jar: app id unset, no arguments", () -> jarWithoutAppId(jar));
        run("jar: keeps running after input ends, SIGTERM saves", () -> jarSignal(jar, "TERM", 15));
        run("jar: SIGINT saves", () -> jarSignal(jar, "INT", 2));
        run("jar: SIGHUP saves", () -> jarSignal(jar, "HUP", 1));

        System.out.println(checks + " checks, " + failures + " failed");
        System.exit(failures == 0 ? 0 : 1);
    }

    // ---- in-process ------------------------------------------------------

    private static void consoleCommands() throws Exception {
        Path dir = Files.createTempDirectory("demo-server-test");
        Capture c = new Capture();
        DemoServer server = new DemoServer(c.stream, dir);

        check(!server.handle("say hi"), "say does not stop");
        expectEq(List.of("[Server] hi"), c.take(), "say output");

        server.handle("  SAY   two  words \r");
        expectEq(List.of("[Server] two  words"), c.take(), "say keeps inner spacing, trims the ends");

        server.handle("say");
        expectEq(List.of("Usage: say <text>"), c.take(), "say without text");
        server.handle("say    ");
        expectEq(List.of("Usage: say <text>"), c.take(), "say with only blanks");
        expectEq(2, server.sayCount(), "only real messages are counted");

        check(!server.handle(""), "blank line does not stop");
        server.handle("   \t ");
        expectEq(List.of(), c.take(), "blank lines print nothing");

        server.handle("teleport me there");
        expectEq(List.of("Unknown command \"teleport\". Type \"help\" for commands."), c.take(),
                "unknown command names only the command word");

        server.handle("help");
        List<String> help = c.take();
        for (String cmd : List.of("help", "list", "say <text>", "stop")) {
            check(help.stream().anyMatch(l -> l.strip().startsWith(cmd + " ")), "help mentions " + cmd);
        }

        server.handle("list");
        expectEq(List.of("No players connected."), c.take(), "list output");

        check(server.handle("Stop"), "stop is matched without regard to case");
        expectEq(List.of("Stopping the server"), c.take(), "stop output");
        check(!Files.exists(dir.resolve(DemoServer.SAVE_FILE)), "handling stop alone does not save");
    }

    private static void consoleStopsAtStop() throws Exception {
        Capture c = new Capture();
        DemoServer server = new DemoServer(c.stream, Files.createTempDirectory("demo-server-test"));
        boolean stopped = server.runConsole(new BufferedReader(new StringReader("say a\nstop\nsay b\n")));
        check(stopped, "runConsole reports stop");
        expectEq(List.of("[Server] a", "Stopping the server"), c.take(), "lines after stop are not run");
        expectEq(1, server.sayCount(), "say after stop not counted");

        Capture c2 = new Capture();
        DemoServer server2 = new DemoServer(c2.stream, Files.createTempDirectory("demo-server-test"));
        check(!server2.runConsole(new BufferedReader(new StringReader("say a"))),
                "runConsole reports end of input");
        expectEq(List.of("[Server] a"), c2.take(), "last line without newline is still run");
    }

    private static void bannerFormat() throws Exception {
        Capture c = new Capture();
        DemoServer server = new DemoServer(c.stream, Files.createTempDirectory("demo-server-test"));
        server.printBanner(new String[] {"+port=700", "", "a  b"}, 123, null, "/srv/x y");
        expectEq(List.of(
                "Demo server starting",
                "args: 3",
                "arg[0]=+port=700",
                "arg[1]=",
                "arg[2]=a  b",
                "max heap MiB: 123",
                "SteamAppId: (unset)",
                "working directory: /srv/x y",
                "Type \"help\" for commands."), c.take(), "banner lines");

        server.printBanner(new String[0], 1, "", "/");
        List<String> lines = c.take();
        check(lines.contains("args: 0"), "no arguments");
        check(lines.contains("SteamAppId: "), "empty app id is shown as empty, not unset");
    }

    private static void saveWritesOnce() throws Exception {
        Path dir = Files.createTempDirectory("demo-server-test");
        Capture c = new Capture();
        DemoServer server = new DemoServer(c.stream, dir);
        server.handle("say one");
        server.handle("say two");
        server.handle("say three");
        c.take();

        long before = System.currentTimeMillis();
        server.save();
        long after = System.currentTimeMillis();
        expectEq(List.of("Saving world...", "World saved"), c.take(), "save output");
        checkSaveFile(dir, 3, before, after);
        check(!Files.exists(dir.resolve(DemoServer.SAVE_FILE + ".tmp")), "no temporary file left");

        Files.delete(dir.resolve(DemoServer.SAVE_FILE));
        server.save();
        expectEq(List.of(), c.take(), "second save prints nothing");
        check(!Files.exists(dir.resolve(DemoServer.SAVE_FILE)), "second save writes nothing");
    }

    private static void saveFailureReported() throws Exception {
        Path missing = Files.createTempDirectory("demo-server-test").resolve("no-such-dir");
        Capture c = new Capture();
        DemoServer server = new DemoServer(c.stream, missing);
        PrintStream oldErr = System.err;
        ByteArrayOutputStream err = new ByteArrayOutputStream();
        System.setErr(new PrintStream(err, true, StandardCharsets.UTF_8));
        try {
            server.save();
        } finally {
            System.setErr(oldErr);
        }
        expectEq(List.of("Saving world...", "World save failed"), c.take(), "failed save output");
        check(err.toString(StandardCharsets.UTF_8).contains(DemoServer.SAVE_FILE),
                "failed save names the file on stderr");
    }

    // ---- child JVM -------------------------------------------------------

    private static void jarSessionWithStop(Path jar) throws Exception {
        Path dir = Files.createTempDirectory("demo-server-run");
        List<String> serverArgs = List.of("+port=700", "+name=a b", "", "quote\"d", "$HOME");
        Child child = Child.start(jar, dir, "517093", serverArgs);

        child.writeLine("say hi");
        child.writeLine("say   hello there  ");
        child.writeLine("frobnicate now");
        child.writeLine("stop");
        long before = System.currentTimeMillis();
        int status = child.waitFor();
        long after = System.currentTimeMillis();

        expectEq(0, status, "exit status after stop");
        List<String> out = child.stdoutLines();
        List<String> expectedStart = new ArrayList<>(List.of("Demo server starting", "args: " + serverArgs.size()));
        for (int i = 0; i < serverArgs.size(); i++) {
            expectedStart.add("arg[" + i + "]=" + serverArgs.get(i));
        }
        expectEq(expectedStart, out.subList(0, Math.min(out.size(), expectedStart.size())),
                "arguments arrive unchanged");

        int i = expectedStart.size();
        String heap = i < out.size() ? out.get(i) : "";
        check(heap.startsWith("max heap MiB: "), "heap line: " + heap);
        if (heap.startsWith("max heap MiB: ")) {
            long mib = Long.parseLong(heap.substring("max heap MiB: ".length()));
            check(mib >= 200 && mib <= 256, "heap for -Xmx256m within 200..256, got " + mib);
        }
        expectEq(List.of(
                "SteamAppId: 517093",
                "working directory: " + dir.toRealPath(),
                "Type \"help\" for commands.",
                "Ready",
                "[Server] hi",
                "[Server] hello there",
                "Unknown command \"frobnicate\". Type \"help\" for commands.",
                "Stopping the server",
                "Saving world...",
                "World saved"), out.subList(Math.min(out.size(), i + 1), out.size()), "rest of the session");
        expectEq("", child.stderrText(), "nothing on stderr");
        checkSaveFile(dir, 2, before, after);
    }

    private static void jarWithoutAppId(Path jar) throws Exception {
        Path dir = Files.createTempDirectory("demo-server-run");
        Child child = Child.start(jar, dir, null, List.of());
        child.writeLine("stop");
        expectEq(0, child.waitFor(), "exit status after stop");
        List<String> out = child.stdoutLines();
        check(out.contains("args: 0"), "no arguments reported");
        check(out.stream().noneMatch(l -> l.startsWith("arg[")), "no argument lines");
        check(out.contains("SteamAppId: (unset)"), "unset app id reported");
        checkSaveFile(dir, 0, child.startedAt, System.currentTimeMillis());
    }

    private static void jarSignal(Path jar, String signal, int number) throws Exception {
        int expectedStatus = 128 + number;
        Path dir = Files.createTempDirectory("demo-server-run");
        Child child = Child.start(jar, dir, "517093", List.of());
        check(child.waitForLine("Ready"), "server ready");
        if (signalIgnored(child.process.pid(), number)) {
            // A JVM started with a signal ignored (as a shell does for SIGINT in
            // background jobs) leaves it ignored, so there is nothing to check.
            skipReason = "SIG" + signal + " is ignored in this environment";
            child.process.destroyForcibly().waitFor();
            return;
        }
        child.writeLine("say before the console closes");
        child.closeInput();
        check(child.waitForLine("[Server] before the console closes"), "say handled before end of input");

        // With its console gone the server must stay up.
        boolean exited = child.process.waitFor(700, TimeUnit.MILLISECONDS);
        check(!exited, "server still running after end of input");
        check(!Files.exists(dir.resolve(DemoServer.SAVE_FILE)), "nothing saved while running");
        if (exited) {
            return;
        }

        Process kill = new ProcessBuilder("kill", "-" + signal, Long.toString(child.process.pid()))
                .inheritIO().start();
        expectEq(0, kill.waitFor(), "kill -" + signal + " succeeded");
        int status = child.waitFor();
        expectEq(expectedStatus, status, "exit status after SIG" + signal);
        List<String> out = child.stdoutLines();
        int n = out.size();
        expectEq(List.of("Saving world...", "World saved"), out.subList(Math.max(0, n - 2), n),
                "save lines are the last output after SIG" + signal);
        expectEq("", child.stderrText(), "nothing on stderr");
        checkSaveFile(dir, 1, child.startedAt, System.currentTimeMillis());
    }

    // ---- helpers ---------------------------------------------------------

    /** Whether the process ignores the signal, as far as /proc tells; false where it cannot tell. */
    private static boolean signalIgnored(long pid, int number) {
        try {
            for (String line : Files.readAllLines(Path.of("/proc", Long.toString(pid), "status"))) {
                if (line.startsWith("SigIgn:")) {
                    long mask = Long.parseUnsignedLong(line.substring("SigIgn:".length()).strip(), 16);
                    return (mask & (1L << (number - 1))) != 0;
                }
            }
        } catch (IOException | NumberFormatException e) {
            // No /proc: assume the default disposition.
        }
        return false;
    }

    private static void checkSaveFile(Path dir, int says, long notBefore, long notAfter) throws IOException {
        Path file = dir.resolve(DemoServer.SAVE_FILE);
        if (!Files.exists(file)) {
            check(false, file + " exists");
            return;
        }
        List<String> lines = Files.readAllLines(file, StandardCharsets.UTF_8);
        expectEq(2, lines.size(), "save file has two lines");
        if (lines.size() != 2) {
            return;
        }
        check(lines.get(0).startsWith("saved at "), "first save line: " + lines.get(0));
        try {
            long at = Long.parseLong(lines.get(0).substring("saved at ".length()));
            check(at >= notBefore && at <= notAfter,
                    "save time " + at + " within " + notBefore + ".." + notAfter);
        } catch (NumberFormatException | IndexOutOfBoundsException e) {
            check(false, "save time is a number: " + lines.get(0));
        }
        expectEq("say messages: " + says, lines.get(1), "say count in save file");
    }

    private interface Body {
        void run() throws Exception;
    }

    private static void run(String name, Body body) {
        int before = failures;
        skipReason = null;
        try {
            body.run();
        } catch (Exception e) {
            failures++;
            System.out.println("  error: " + e);
        }
        if (failures != before) {
            System.out.println("FAIL " + name);
        } else if (skipReason != null) {
            System.out.println("skip " + name + " (" + skipReason + ")");
        } else {
            System.out.println("ok   " + name);
        }
    }

    private static void check(boolean ok, String what) {
        checks++;
        if (!ok) {
            failures++;
            System.out.println("  failed: " + what);
        }
    }

    private static void expectEq(Object expected, Object actual, String what) {
        checks++;
        if (!expected.equals(actual)) {
            failures++;
            System.out.println("  failed: " + what);
            System.out.println("    expected: " + expected);
            System.out.println("    actual:   " + actual);
        }
    }

    /** A PrintStream whose output can be taken back as lines. */
    private static final class Capture {
        final ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        final PrintStream stream = new PrintStream(bytes, true, StandardCharsets.UTF_8);

        List<String> take() {
            stream.flush();
            String text = bytes.toString(StandardCharsets.UTF_8);
            bytes.reset();
            if (text.isEmpty()) {
                return List.of();
            }
            // Every println ends in a newline; drop the empty piece after the last one.
            List<String> pieces = Arrays.asList(text.split("\n", -1));
            return text.endsWith("\n") ? pieces.subList(0, pieces.size() - 1) : pieces;
        }
    }

    /** The server jar running in a child JVM, its output read on a thread of its own. */
    private static final class Child {
        final Process process;
        final long startedAt;
        private final List<String> lines = new ArrayList<>();
        private final ByteArrayOutputStream stderr = new ByteArrayOutputStream();
        private final Thread outReader;
        private final Thread errReader;

        private Child(Process process, long startedAt) {
            this.process = process;
            this.startedAt = startedAt;
            outReader = new Thread(this::readStdout, "child-stdout");
            errReader = new Thread(() -> copy(process.getErrorStream(), stderr), "child-stderr");
            outReader.start();
            errReader.start();
        }

        static Child start(Path jar, Path dir, String appId, List<String> args) throws IOException {
            String java = Path.of(System.getProperty("java.home"), "bin", "java").toString();
            List<String> command = new ArrayList<>(List.of(java, "-Xmx256m", "-jar", jar.toString()));
            command.addAll(args);
            ProcessBuilder pb = new ProcessBuilder(command).directory(dir.toFile());
            pb.environment().remove(DemoServer.APP_ID_VARIABLE);
            if (appId != null) {
                pb.environment().put(DemoServer.APP_ID_VARIABLE, appId);
            }
            long startedAt = System.currentTimeMillis();
            return new Child(pb.start(), startedAt);
        }

        void writeLine(String line) throws IOException {
            process.getOutputStream().write((line + "\n").getBytes(StandardCharsets.UTF_8));
            process.getOutputStream().flush();
        }

        void closeInput() throws IOException {
            process.getOutputStream().close();
        }

        boolean waitForLine(String wanted) throws InterruptedException {
            long deadline = System.currentTimeMillis() + TIMEOUT_MS;
            synchronized (lines) {
                while (!lines.contains(wanted)) {
                    long left = deadline - System.currentTimeMillis();
                    if (left <= 0) {
                        return false;
                    }
                    lines.wait(left);
                }
                return true;
            }
        }

        /** Waits for exit and for both output streams to drain; kills the child on timeout. */
        int waitFor() throws InterruptedException, IOException {
            if (!process.waitFor(TIMEOUT_MS, TimeUnit.MILLISECONDS)) {
                process.destroyForcibly().waitFor();
                throw new IOException("server did not exit within " + TIMEOUT_MS + " ms");
            }
            outReader.join(TIMEOUT_MS);
            errReader.join(TIMEOUT_MS);
            return process.exitValue();
        }

        List<String> stdoutLines() {
            synchronized (lines) {
                return new ArrayList<>(lines);
            }
        }

        String stderrText() {
            synchronized (stderr) {
                return stderr.toString(StandardCharsets.UTF_8);
            }
        }

        private void readStdout() {
            try (BufferedReader r = new BufferedReader(
                    new InputStreamReader(process.getInputStream(), StandardCharsets.UTF_8))) {
                String line;
                while ((line = r.readLine()) != null) {
                    synchronized (lines) {
                        lines.add(line);
                        lines.notifyAll();
                    }
                }
            } catch (IOException e) {
                // The child is gone; what was read so far is kept.
            }
        }

        private static void copy(InputStream in, ByteArrayOutputStream sink) {
            byte[] buf = new byte[4096];
            try (in) {
                int n;
                while ((n = in.read(buf)) > 0) {
                    synchronized (sink) {
                        sink.write(buf, 0, n);
                    }
                }
            } catch (IOException e) {
                // As above.
            }
        }
    }
}
