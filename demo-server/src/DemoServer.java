import java.io.BufferedOutputStream;
import java.io.BufferedReader;
import java.io.FileDescriptor;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.util.List;
import java.util.Locale;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * A tiny stand-in for a dedicated game server.
 *
 * It prints what it was started with (arguments, heap limit, app id and
 * working directory), then reads console commands from standard input.
 * Whenever the JVM shuts down - through the "stop" command or through
 * SIGTERM, SIGINT or SIGHUP - a shutdown hook writes world.sav into the
 * working directory, so a launcher can be checked end to end.
 *
 * When standard input reaches end of file the server keeps running, as a
 * real server does when its console goes away, until it is signalled.
 */
public final class DemoServer {

    static final String SAVE_FILE = "world.sav";
    static final String APP_ID_VARIABLE = "SteamAppId";

    private static final List<String> HELP = List.of(
            "Commands:",
            "  help         show this list",
            "  list         show connected players",
            "  say <text>   broadcast a message to all players",
            "  stop         save the world and stop the server");

    private final PrintStream out;
    private final Path saveDir;
    private final AtomicInteger sayCount = new AtomicInteger();
    private final AtomicBoolean saved = new AtomicBoolean();

    DemoServer(PrintStream out, Path saveDir) {
        this.out = out;
        this.saveDir = saveDir;
    }

    /** Number of messages broadcast with "say" so far. */
    int sayCount() {
        return sayCount.get();
    }

    void printBanner(String[] args, long maxHeapMiB, String appId, String workingDirectory) {
        out.println("Demo server starting");
        out.println("args: " + args.length);
        for (int i = 0; i < args.length; i++) {
            out.println("arg[" + i + "]=" + args[i]);
        }
        out.println("max heap MiB: " + maxHeapMiB);
        out.println(APP_ID_VARIABLE + ": " + (appId == null ? "(unset)" : appId));
        out.println("working directory: " + workingDirectory);
        out.println("Type \"help\" for commands.");
        out.flush();
    }

    void printReady() {
        out.println("Ready");
        out.flush();
    }

    /**
     * Runs one console line. Command words are matched without regard to
     * case; blank lines are ignored.
     *
     * @return true when the line asks the server to stop
     */
    boolean handle(String line) {
        String trimmed = line.strip();
        if (trimmed.isEmpty()) {
            return false;
        }
        int space = indexOfWhitespace(trimmed);
        String command = space < 0 ? trimmed : trimmed.substring(0, space);
        String rest = space < 0 ? "" : trimmed.substring(space).strip();

        boolean stop = false;
        switch (command.toLowerCase(Locale.ROOT)) {
            case "help":
                HELP.forEach(out::println);
                break;
            case "list":
                out.println("No players connected.");
                break;
            case "say":
                if (rest.isEmpty()) {
                    out.println("Usage: say <text>");
                } else {
                    sayCount.incrementAndGet();
                    out.println("[Server] " + rest);
                }
                break;
            case "stop":
                out.println("Stopping the server");
                stop = true;
                break;
            default:
                out.println("Unknown command \"" + command + "\". Type \"help\" for commands.");
                break;
        }
        out.flush();
        return stop;
    }

    /**
     * Reads commands until "stop" or end of input.
     *
     * @return true if "stop" was given, false if the input ended first
     */
    boolean runConsole(BufferedReader in) {
        try {
            String line;
            while ((line = in.readLine()) != null) {
                if (handle(line)) {
                    return true;
                }
            }
        } catch (IOException e) {
            // A console that fails to read is treated like one that was closed.
        }
        return false;
    }

    /**
     * Writes the save file once; later calls do nothing. The file is written
     * beside its final name and then moved into place, so a reader never sees
     * half of it.
     */
    void save() {
        if (!saved.compareAndSet(false, true)) {
            return;
        }
        out.println("Saving world...");
        out.flush();
        String content = "saved at " + System.currentTimeMillis() + System.lineSeparator()
                + "say messages: " + sayCount.get() + System.lineSeparator();
        Path target = saveDir.resolve(SAVE_FILE);
        Path temp = saveDir.resolve(SAVE_FILE + ".tmp");
        try {
            Files.writeString(temp, content, StandardCharsets.UTF_8);
            Files.move(temp, target, StandardCopyOption.REPLACE_EXISTING, StandardCopyOption.ATOMIC_MOVE);
            out.println("World saved");
        } catch (IOException e) {
            out.println("World save failed");
            System.err.println("Could not write " + target + ": " + e);
            System.err.flush();
        }
        out.flush();
    }

    private static int indexOfWhitespace(String s) {
        for (int i = 0; i < s.length(); i++) {
            if (Character.isWhitespace(s.charAt(i))) {
                return i;
            }
        }
        return -1;
    }

    public static void main(String[] args) {
        PrintStream out = new PrintStream(
                new BufferedOutputStream(new FileOutputStream(FileDescriptor.out)), true, StandardCharsets.UTF_8);
        String workingDirectory = System.getProperty("user.dir");
        DemoServer server = new DemoServer(out, Paths.get(workingDirectory));

        server.printBanner(args, Runtime.getRuntime().maxMemory() / (1024 * 1024),
                System.getenv(APP_ID_VARIABLE), workingDirectory);
        Runtime.getRuntime().addShutdownHook(new Thread(server::save, "world-save"));
        server.printReady();

        BufferedReader console = new BufferedReader(new InputStreamReader(System.in, StandardCharsets.UTF_8));
        if (server.runConsole(console)) {
            System.exit(0);
        }

        // The console is gone; keep serving until a signal shuts the JVM down.
        while (true) {
            try {
                Thread.sleep(60_000);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                return;
            }
        }
    }
}
