// The JAX-WS client of soap_client_test.py, compiled there against what
// wsimport generates from the served WSDL (packages quor.core and
// quor.admin). Arguments: CORE_WSDL ADMIN_WSDL, read again at run time; the
// password, token scheme and seed come in QUOR_* variables (HTTPS trusts the
// javax.net.ssl.trustStore given). Prints "name<TAB>value" lines.
import java.net.URL;

public final class JaxwsClient {
    private JaxwsClient() {}

    static void emit(String name, Object value) {
        String text = value == null ? "" : value.toString();
        text = text.replace("\\", "\\\\").replace("\n", "\\n").replace("\r", "\\r").replace("\t", "\\t");
        System.out.println(name + "\t" + text);
    }

    static void emitFault(String prefix, String faultstring, String status, String description, int number) {
        emit(prefix + "faultstring", faultstring);
        emit(prefix + "status", status);
        emit(prefix + "description", description);
        emit(prefix + "number", number);
    }

    public static void main(String[] args) throws Exception {
        String password = System.getenv("QUOR_PASSWORD");
        quor.core.QuorServiceCorePortType core = new quor.core.QuorServiceCore(new URL(args[0])).getQuorServiceCorePort();
        quor.admin.QuorServiceCoreAdminPortType admin =
            new quor.admin.QuorServiceCoreAdmin(new URL(args[1])).getQuorServiceCoreAdminPort();
        quor.core.ObjectFactory make = new quor.core.ObjectFactory();

        quor.core.CreateTicket signIn = new quor.core.CreateTicket();
        signIn.setAuthority(make.createCreateTicketAuthority(""));
        signIn.setRealm(make.createCreateTicketRealm(""));
        signIn.setPrincipal(make.createCreateTicketPrincipal("administrator"));
        signIn.setCredential(make.createCreateTicketCredential(password));
        quor.core.CreateTicketResponse ticket = core.createTicket(signIn);
        emit("ticket", ticket.getTicket());
        emit("fullPrincipal", ticket.getFullPrincipal());

        signIn.setCredential(make.createCreateTicketCredential("wrong"));
        try {
            core.createTicket(signIn);
            throw new AssertionError("wrong.: no fault");
        } catch (quor.core.ServerFault fault) {
            quor.core.ErrorInfo info = fault.getFaultInfo();
            emitFault("wrong.", fault.getMessage(), info.getStatus(), info.getDescription(), info.getNumber());
        }

        quor.core.OpenSession open = new quor.core.OpenSession();
        open.setService(make.createOpenSessionService("qsc"));
        open.setTicket(make.createOpenSessionTicket(ticket.getTicket()));
        open.setTokenScheme(make.createOpenSessionTokenScheme(System.getenv("QUOR_TOKEN_SCHEME")));
        open.setTokenSeed(make.createOpenSessionTokenSeed(System.getenv("QUOR_TOKEN_SEED")));
        quor.core.OpenSessionResponse session = core.openSession(open);
        emit("sessionKey", session.getSessionKey());
        emit("verifier", session.getVerifier());

        quor.core.Exec exec = new quor.core.Exec();
        exec.setUser(make.createExecUser(session.getVerifier()));
        exec.setCommand(make.createExecCommand("status"));
        quor.core.ExecResponse result = core.exec(exec);
        emit("exec.result", result.getResult());
        emit("exec.reskey", result.getReskey());

        quor.admin.ReLoadConfig reload = new quor.admin.ReLoadConfig();
        reload.setUser(new quor.admin.ObjectFactory().createReLoadConfigUser("no-session"));
        try {
            admin.reLoadConfig(reload);
            throw new AssertionError("admin.: no fault");
        } catch (quor.admin.ServerFault fault) {
            quor.admin.ErrorInfo info = fault.getFaultInfo();
            emitFault("admin.", fault.getMessage(), info.getStatus(), info.getDescription(), info.getNumber());
        }
    }
}
