// QelHandle.cs - the connection handle of the C# binding as a SafeHandle: freed exactly
// once, never while a call holds it, on a background thread when ZeroMQ may wait for ever
// to deliver a request nobody answers, and with the library kept loaded while any can live.
using System;
using System.Runtime.ConstrainedExecution;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;

namespace QelZmq
{
    /// <summary>
    /// A connection handle from createConnectionHandle. The runtime frees it exactly once,
    /// through Dispose or the critical finalizer, and never while a call that received it
    /// is still inside the library (the marshaller holds a reference for each call).
    /// </summary>
    internal sealed class QelHandle : SafeHandle
    {
        // Set when an exchange failed: its request may still be queued for a service that
        // is not there, and freeHandle would then wait (ZeroMQ's linger) to deliver it.
        private volatile bool abandoned;

        private QelHandle() : base(IntPtr.Zero, true) { }

        /// <summary>A new handle from createConnectionHandle, or an invalid one.</summary>
        internal static QelHandle Create()
        {
            QelHandle made = new QelHandle();
            // The object exists before the call and takes the handle in a finally block,
            // where no thread abort is delivered: nothing can come between the two and
            // leak the handle. (Mono's marshaller, returning a SafeHandle itself, can.)
            try
            {
            }
            finally
            {
                made.SetHandle(NativeMethods.createConnectionHandle());
                if (!made.IsInvalid)
                    KeepLibraryLoaded();
            }
            return made;
        }

        private static int libraryKept;

        // Mono unloads the native libraries it loaded as the process exits, while other
        // threads still run. A handle whose call never returns is never freed, and its
        // ZeroMQ threads run on in libzmq: the first to wake after the unload executes
        // unmapped code, and the process ends with SIGSEGV instead of its exit status. A
        // reference of our own, marked never to be dropped, keeps the library and libzmq
        // mapped until the process is gone. Only glibc has libdl.so.2, and only there do
        // these flags mean RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE; RTLD_NOLOAD takes the
        // copy already loaded, under the name the dllmap gives and the library's soname, or
        // none. Elsewhere nothing is done.
        private static void KeepLibraryLoaded()
        {
            if (Interlocked.Exchange(ref libraryKept, 1) != 0
                || Environment.OSVersion.Platform == PlatformID.Win32NT)
                return;
            try
            {
                dlopen(Encoding.ASCII.GetBytes("libqel_zmq.so.1\0"), 0x2 | 0x4 | 0x1000);
            }
            catch (DllNotFoundException)
            {
            }
            catch (EntryPointNotFoundException)
            {
            }
        }

        // The returned handle is never closed: dropping it is what must not happen.
        [DllImport("libdl.so.2", CallingConvention = CallingConvention.Cdecl)]
        private static extern IntPtr dlopen(byte[] file, int mode);

        public override bool IsInvalid
        {
            get { return handle == IntPtr.Zero; }
        }

        internal void Abandon()
        {
            abandoned = true;
        }

        // Runs call with the raw handle, which cannot be released before call returns:
        // the reference is taken and given back in finally blocks, where no thread abort
        // is delivered.
        internal T Use<T>(Func<IntPtr, T> call)
        {
            bool added = false;
            try
            {
                DangerousAddRef(ref added);
                return call(handle);
            }
            finally
            {
                if (added)
                    DangerousRelease();
            }
        }

        [ReliabilityContract(Consistency.WillNotCorruptState, Cer.Success)]
        protected override bool ReleaseHandle()
        {
            IntPtr freed = handle;
            if (abandoned)
            {
                // A background thread does the possibly endless wait, so neither the
                // caller, the finalizer thread nor process exit is held up by it.
                Thread releaser = new Thread(() => NativeMethods.freeHandle(freed));
                releaser.IsBackground = true;
                releaser.Name = "QelZmq-freeHandle";
                releaser.Start();
            }
            else
            {
                NativeMethods.freeHandle(freed);
            }
            return true;
        }
    }
}
