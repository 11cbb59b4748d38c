// QelZmqTest.cs - checks the C# binding against the real library and a running
// qel-lua-service: answers, Lua errors, UTF-8 both ways, large replies, no leak over
// many calls, argument and lifetime errors, the SafeHandle's release through the
// finalizer and on a thread abort, and ExecuteAsync. Usage: QelZmqTest.exe PORT (on 127.0.0.1).
using System;
using System.Collections.Generic;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using System.Threading.Tasks;
using QelZmq;

internal static class QelZmqTest
{
    private const string Host = "127.0.0.1";
    private static int port;
    private static int passed;
    private static readonly List<string> failures = new List<string>();

    private static int Main(string[] args)
    {
        if (args.Length != 1 || !int.TryParse(args[0], out port))
        {
            Console.Error.WriteLine("usage: QelZmqTest.exe PORT");
            return 2;
        }

        Check("answer", () =>
        {
            using (var c = Connect())
                Equal("42", c.Execute("return 6*7"));
        });
        Check("empty answer", () =>
        {
            using (var c = Connect())
                Equal("", c.Execute("local x = 1"));
        });
        Check("Lua error reply", () =>
        {
            using (var c = Connect())
            {
                string answer = c.Execute("error('boom')");
                True(answer.StartsWith("error: ", StringComparison.Ordinal) && answer.Contains("boom"), answer);
                Equal("ok", c.Execute("return 'ok'")); // an error reply is an answer like any other
            }
        });
        Check("non-ASCII text both ways", () =>
        {
            const string text = "Grüße, Welt ✓ 日本 \U0001F600";
            using (var c = Connect())
            {
                // Lua's # counts bytes: it tells the script really arrived as UTF-8.
                string answer = c.Execute("local s = 'Grüße, ' .. 'Welt ✓ 日本 \U0001F600' return s, #s");
                Equal(text + "\t" + Encoding.UTF8.GetByteCount(text), answer);
                Equal("5", c.Execute("return utf8.len('Grüße')"));
            }
        });
        Check("raw bytes both ways", () =>
        {
            using (var c = Connect())
            {
                // Latin-1 "é" is not UTF-8; ExecuteBytes passes it through untouched.
                byte[] script = Concat(Encoding.ASCII.GetBytes("return '"), new byte[] { 0xE9 },
                                       Encoding.ASCII.GetBytes("', #'"), new byte[] { 0xE9 },
                                       Encoding.ASCII.GetBytes("'"));
                byte[] answer = c.ExecuteBytes(script);
                Equal(BitConverter.ToString(new byte[] { 0xE9, (byte)'\t', (byte)'1' }), BitConverter.ToString(answer));
            }
        });
        Check("1 MiB reply", () =>
        {
            using (var c = Connect())
            {
                string answer = c.Execute("return string.rep('x', 2^20)");
                Equal(1048576, answer.Length);
                True(answer.Replace("x", "").Length == 0, "answer holds other characters than x");
            }
        });
        Check("1,000 calls without memory growth", () =>
        {
            // Each answer is 64 KiB, so answers never given back would add 64 MiB.
            const string script = "return string.rep('y', 65536)";
            const long marginKiB = 16 * 1024;
            using (var c = Connect())
            {
                for (int i = 0; i < 100; i++)
                    c.Execute(script);
                Collect();
                long before = RssKiB();
                for (int i = 0; i < 1000; i++)
                {
                    if (c.Execute(script).Length != 65536)
                        throw new Exception("call " + i + " answered the wrong length");
                }
                Collect();
                long after = RssKiB();
                Console.WriteLine("  RSS before {0} KiB, after {1} KiB", before, after);
                True(after - before < marginKiB,
                     string.Format("RSS grew by {0} KiB over 1,000 calls", after - before));
            }
        });
        Check("threads sharing one connection", () =>
        {
            // Overlapping calls on one handle would break the REQ socket's alternation.
            using (var c = Connect())
            {
                var errors = new List<string>();
                var threads = new List<Thread>();
                for (int t = 0; t < 4; t++)
                {
                    int id = t;
                    var thread = new Thread(() =>
                    {
                        try
                        {
                            for (int i = 0; i < 100; i++)
                            {
                                string expected = (id * 1000 + i).ToString();
                                string answer = c.Execute("return " + expected);
                                if (answer != expected)
                                    throw new Exception("expected " + expected + ", got " + answer);
                            }
                        }
                        catch (Exception e)
                        {
                            lock (errors) errors.Add(e.Message);
                        }
                    });
                    thread.Start();
                    threads.Add(thread);
                }
                foreach (var thread in threads)
                    True(thread.Join(TimeSpan.FromSeconds(60)), "a thread did not finish within 60 s");
                True(errors.Count == 0, string.Join("; ", errors.ToArray()));
            }
        });
        Check("NUL in the script raises ArgumentException", () =>
        {
            using (var c = Connect())
            {
                Throws<ArgumentException>(() => c.Execute("return 1\0 + 1"));
                Throws<ArgumentException>(() => c.ExecuteBytes(new byte[] { (byte)'x', 0 }));
                Throws<ArgumentNullException>(() => c.Execute(null));
                Equal("2", c.Execute("return 1 + 1")); // nothing was sent, the handle is fine
            }
        });
        Check("NUL in the host raises ArgumentException", () =>
        {
            Throws<ArgumentException>(() => new QelConnection("127.0.0.1\0junk", port));
        });
        Check("refused endpoint raises QelException", () =>
        {
            // The library prints ZeroMQ's reason with C's printf: no newline, no flush.
            // Flushing here keeps it beside this check instead of after the summary.
            Throws<QelException>(() => new QelConnection("no such host", port));
            EndCLine();
            Throws<QelException>(() => new QelConnection(Host, -1));
            EndCLine();
        });
        Check("use after Dispose raises ObjectDisposedException", () =>
        {
            var c = Connect();
            Equal("1", c.Execute("return 1"));
            c.Dispose();
            c.Dispose(); // a second Dispose does nothing
            Throws<ObjectDisposedException>(() => c.Execute("return 1"));
            Throws<ObjectDisposedException>(() => c.ExecuteBytes(new byte[] { (byte)'x' }));
        });
        // Each handle holds two ZeroMQ threads, so the process's thread count shows
        // whether handles were freed. These run before any ExecuteAsync has started the
        // thread pool, whose workers would blur the count.
        Check("a connection never disposed is freed by its finalizer", () =>
        {
            long before = ThreadCount();
            Forget(10);
            True(ThreadCount() >= before + 20, "10 connections did not add 20 threads");
            Collect();
            WaitForThreads(before);
        });
        // Three rounds, each aborting at another moment of the churn.
        for (int round = 0; round < 3; round++)
            Check("an aborted thread leaves no handle behind", AbortChurn);
        Check("QelException has the standard constructors", () =>
        {
            var inner = new InvalidOperationException("cause");
            True(new QelException().Message.Length > 0, "no default message");
            Equal("m", new QelException("m").Message);
            True(new QelException("m", inner).InnerException == inner, "the cause is lost");
        });
        Check("ExecuteAsync runs off the caller's thread", () =>
        {
            using (var c = Connect())
            {
                // Some tenths of a second of Lua: done at once only if run right here.
                Task<string> busy = c.ExecuteAsync("local n = 0 for i = 1, 3e7 do n = n + 1 end return n");
                True(!busy.IsCompleted, "ExecuteAsync returned only after the answer");
                True(busy.Wait(TimeSpan.FromSeconds(120)), "no answer within 120 s");
                Equal("30000000", busy.Result);
            }
        });
        Check("ExecuteAsync calls on one connection never overlap", () =>
        {
            // Two overlapping calls would break the REQ socket's alternation.
            using (var c = Connect())
            {
                var answers = new List<Task<string>>();
                for (int i = 0; i < 50; i++)
                    answers.Add(c.ExecuteAsync("return " + i));
                Equal("blocking", c.Execute("return 'blocking'")); // waits its turn too
                True(Task.WaitAll(answers.ToArray(), TimeSpan.FromSeconds(120)), "not all answered");
                for (int i = 0; i < answers.Count; i++)
                    Equal(i.ToString(), answers[i].Result);
                Throws<ArgumentException>(() => c.ExecuteAsync("nul\0"));
                c.Dispose();
                Task<string> late = c.ExecuteAsync("return 1");
                Throws<AggregateException>(() => late.Wait(TimeSpan.FromSeconds(60)));
                True(late.Exception.InnerException is ObjectDisposedException, late.Exception.ToString());
            }
        });

        Console.WriteLine("{0} passed, {1} failed", passed, failures.Count);
        foreach (string failure in failures)
            Console.WriteLine("FAILED: " + failure);
        return failures.Count == 0 ? 0 : 1;
    }

    [DllImport("libc", CallingConvention = CallingConvention.Cdecl)]
    private static extern int fflush(IntPtr stream);

    private static void EndCLine()
    {
        fflush(IntPtr.Zero); // NULL: every C output stream
        Console.WriteLine();
    }

    private static QelConnection Connect()
    {
        return new QelConnection(Host, port);
    }

    private static void Check(string name, Action test)
    {
        try
        {
            test();
            passed++;
            Console.WriteLine("ok   " + name);
        }
        catch (Exception e)
        {
            failures.Add(name + ": " + e.Message);
            Console.WriteLine("FAIL " + name + ": " + e);
        }
    }

    private static void Equal<T>(T expected, T actual)
    {
        if (!EqualityComparer<T>.Default.Equals(expected, actual))
            throw new Exception(string.Format("expected <{0}>, got <{1}>", Shorten(expected), Shorten(actual)));
    }

    private static string Shorten<T>(T value)
    {
        string text = Convert.ToString(value);
        return text.Length > 200 ? text.Substring(0, 200) + "... (" + text.Length + " characters)" : text;
    }

    private static void True(bool condition, string message)
    {
        if (!condition)
            throw new Exception(message);
    }

    private static void Throws<E>(Action action) where E : Exception
    {
        try
        {
            action();
        }
        catch (E)
        {
            return;
        }
        catch (Exception e)
        {
            throw new Exception("expected " + typeof(E).Name + ", got " + e.GetType().Name + ": " + e.Message);
        }
        throw new Exception("expected " + typeof(E).Name + ", nothing was thrown");
    }

    private static byte[] Concat(params byte[][] parts)
    {
        var all = new List<byte>();
        foreach (byte[] part in parts)
            all.AddRange(part);
        return all.ToArray();
    }

    private static readonly Random jitter = new Random();

    private static void AbortChurn()
    {
        long before = ThreadCount();
        var running = new ManualResetEvent(false);
        var churn = new Thread(() =>
        {
            for (int i = 0; ; i++)
            {
                using (var c = Connect())
                    c.Execute("return 1");
                if (i == 20)
                    running.Set();
            }
        });
        churn.Start();
        True(running.WaitOne(TimeSpan.FromSeconds(60)), "the thread made no 20 connections");
        Thread.Sleep(jitter.Next(50)); // a different moment each round
        churn.Abort(); // wherever it is: inside the library, between calls, in Dispose
        True(churn.Join(TimeSpan.FromSeconds(60)), "the aborted thread did not end");
        Collect();
        WaitForThreads(before + 1); // the aborted thread may not be gone from /proc yet
    }

    [System.Runtime.CompilerServices.MethodImpl(System.Runtime.CompilerServices.MethodImplOptions.NoInlining)]
    private static void Forget(int count)
    {
        // In a frame of its own, so no local keeps the connections reachable.
        for (int i = 0; i < count; i++)
            Equal("1", Connect().Execute("return 1"));
    }

    private static long ThreadCount()
    {
        return Directory.GetDirectories("/proc/self/task").Length;
    }

    private static void WaitForThreads(long most)
    {
        // freeHandle joins a handle's threads; the kernel may list one a moment longer.
        for (int i = 0; i < 200 && ThreadCount() > most; i++)
        {
            Thread.Sleep(50);
            if (i % 20 == 19)
                Collect(); // a finalizer frees what an abort left unreferenced
        }
        if (ThreadCount() > most)
        {
            var names = new List<string>();
            foreach (string task in Directory.GetDirectories("/proc/self/task"))
                names.Add(File.ReadAllText(Path.Combine(task, "comm")).Trim());
            throw new Exception(string.Format("{0} threads ({1}), {2} expected", names.Count,
                                              string.Join(", ", names.ToArray()), most));
        }
    }

    private static void Collect()
    {
        GC.Collect();
        GC.WaitForPendingFinalizers();
        GC.Collect();
    }

    private static long RssKiB()
    {
        foreach (string line in File.ReadAllLines("/proc/self/status"))
        {
            if (line.StartsWith("VmRSS:", StringComparison.Ordinal))
                return long.Parse(line.Substring(6).Trim().Split(' ')[0]);
        }
        throw new Exception("/proc/self/status has no VmRSS line");
    }
}
